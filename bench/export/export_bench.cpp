// The export as a client sees it: the README read into Ogg Opus (and M4B) by a service with no
// speech daemon, as a multiple of real time, and the service's peak memory. The document is
// repeated to make longer books: memory must not grow with the length.
//
//   bench_export --benchmark_filter=Opus/1     # one README, about 48 minutes of audio
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "service_process.h"

namespace mdspeak::testing {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::string readme() {
  std::ifstream file(MDSPEAK_SOURCE_DIR "/README.md");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

void export_book(benchmark::State& state, const char* extension) {
  std::string document;
  for (int i = 0; i < state.range(0); ++i) document += readme();
  const std::filesystem::path out =
      std::filesystem::temp_directory_path() /
      ("mdspeak-bench-export-" + std::to_string(getpid()) + extension);
  double audio_s = 0, wall_s = 0, rss_mb = 0;
  for (auto _ : state) {
    ServiceProcess service(without_speech());
    service.write(
        json{{"type", "load_document"}, {"id", "1"}, {"document_id", "d"}, {"text", document}}
            .dump() +
        "\n");
    service.read_line();
    const auto start = Clock::now();
    service.write(
        json{{"type", "export"}, {"id", "2"}, {"document_id", "d"}, {"path", out.string()}}.dump() +
        "\n");
    json result;
    while (auto line = service.read_line(std::chrono::minutes(30))) {
      result = json::parse(*line);
      if (result["type"] != "export_progress") break;
    }
    wall_s = std::chrono::duration<double>(Clock::now() - start).count();
    if (result["type"] != "export_result") {
      state.SkipWithError(("export failed: " + result.dump()).c_str());
      break;
    }
    audio_s = result["duration_ms"].get<double>() / 1000;
    service.close_stdin();
    rss_mb = double(service.wait_peak_rss_kib()) / 1024;
    std::filesystem::remove(out);
  }
  state.counters["audio_min"] = audio_s / 60;
  state.counters["x_realtime"] = wall_s > 0 ? audio_s / wall_s : 0;
  state.counters["peak_rss_MB"] = rss_mb;
}

void BM_ExportOpus(benchmark::State& state) {
  export_book(state, ".opus");
}
void BM_ExportM4b(benchmark::State& state) {
  export_book(state, ".m4b");
}

BENCHMARK(BM_ExportOpus)->Arg(1)->Arg(4)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_ExportM4b)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace mdspeak::testing

BENCHMARK_MAIN();
