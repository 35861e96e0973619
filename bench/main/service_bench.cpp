// The service as a client sees it: round-trip latency of sequential requests, and the cost of
// loading large documents (time and the process's peak memory).
//
//   bench_service                      # corpus from MDSPEAK_MARKDOWN_CORPUS, else the machine's
//   .md files
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "../support/corpus.h"
#include "service_process.h"

namespace mdspeak::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::string corpus() {
  static const std::string text = bench::read_markdown_corpus();
  return text;
}

// The corpus cut or repeated to `bytes`, ending on a line boundary.
std::string document_of(std::size_t bytes) {
  std::string source = corpus();
  if (source.empty()) source = "# Heading\n\nA paragraph of text, with a clause. Another one.\n\n";
  std::string out;
  while (out.size() < bytes) out += source;
  out.resize(bytes);
  auto last = out.rfind('\n');
  if (last != std::string::npos) out.resize(last + 1);
  return out;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// 10,000 sequential `init` requests, each sent after the previous answer arrived.
void BM_InitRoundTrip(benchmark::State& state) {
  ServiceProcess service(without_speech());
  std::vector<double> micros;
  for (auto _ : state) {
    micros.clear();
    for (int i = 0; i < 10000; ++i) {
      auto start = Clock::now();
      service.write("{\"type\":\"init\",\"id\":\"" + std::to_string(i) + "\"}\n");
      service.read_line();  // backend_unavailable
      service.read_line();  // init_result
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  state.counters["p50_us"] = percentile(micros, 0.50);
  state.counters["p99_us"] = percentile(micros, 0.99);
  service.close_stdin();
}
BENCHMARK(BM_InitRoundTrip)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One load_document of the given size in a fresh process; reports the answer time and the
// service's peak resident memory.
void BM_LoadDocument(benchmark::State& state) {
  const std::string text = document_of(static_cast<std::size_t>(state.range(0)) << 20);
  const std::string line =
      nlohmann::json{{"type", "load_document"}, {"id", "1"}, {"document_id", "doc"}, {"text", text}}
          .dump() +
      "\n";
  long peak_kib = 0;
  for (auto _ : state) {
    ServiceProcess service(without_speech());
    // Start-up (the engine's attempt to reach a synthesizer) is not part of loading.
    service.write("{\"type\":\"init\",\"id\":\"0\"}\n");
    service.read_line();
    service.read_line();
    auto start = Clock::now();
    service.write(line);
    auto answer = service.read_line(std::chrono::minutes(5));
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!answer || answer->find("load_document_result") == std::string::npos) {
      state.SkipWithError("no load_document_result");
      break;
    }
    service.close_stdin();
    peak_kib = std::max(peak_kib, service.wait_peak_rss_kib());
  }
  state.counters["source_MB"] = static_cast<double>(text.size()) / 1e6;
  state.counters["peak_rss_MB"] = static_cast<double>(peak_kib) / 1024.0;
}
BENCHMARK(BM_LoadDocument)
    ->Arg(1)
    ->Arg(10)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mdspeak::testing

BENCHMARK_MAIN();
