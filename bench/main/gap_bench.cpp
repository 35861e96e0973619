// The silence between two utterances on the null sink, as a listener hears it: the service
// speaks eight one-word paragraphs and the recorder finds the sound of each. Needs our own
// speech stack (scripts/speech-stack up). Compare builds with MDSPEAK_SERVICE_BINARY=<path>.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "service_process.h"
#include "support/sink_recorder.h"

namespace mdspeak::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void UtteranceGap(benchmark::State& state) {
  SinkRecorder recorder;
  const auto socket = SinkRecorder::stack_pulse_socket();
  if (!socket || !recorder.start(*socket) || !recorder.wait_until_recording(3s)) {
    state.SkipWithError("needs scripts/speech-stack up");
    return;
  }
  const std::string text =
      "Alpha.\n\nBravo.\n\nCharlie.\n\nDelta.\n\nEcho.\n\nFoxtrot.\n\nGolf.\n\nHotel.";
  double sum = 0, worst = 0;
  int gaps = 0;
  for (auto _ : state) {
    ServiceProcess service;
    service.write(
        nlohmann::json(
            {{"type", "load_document"}, {"id", "1"}, {"document_id", "d"}, {"text", text}})
            .dump() +
        "\n");
    const auto start = Clock::now();
    service.write(R"({"type":"speak","id":"2","document_id":"d","rate":1})"
                  "\n");
    service.close_stdin();
    int ends = 0;
    while (auto line = service.read_line(20s)) {
      if (line->find("\"utterance_end\"") != std::string::npos) ++ends;
    }
    service.wait();
    std::this_thread::sleep_for(300ms);
    const auto sounds = recorder.segments(start, 0.003, 90ms);
    if (ends != 8 || sounds.size() != 8) {
      state.SkipWithError(
          ("utterances " + std::to_string(ends) + ", sounds " + std::to_string(sounds.size()))
              .c_str());
      return;
    }
    for (std::size_t i = 1; i < sounds.size(); ++i) {
      const double ms =
          std::chrono::duration<double, std::milli>(sounds[i].start - sounds[i - 1].end).count();
      sum += ms;
      worst = std::max(worst, ms);
      ++gaps;
    }
  }
  state.counters["gap_mean_ms"] = sum / gaps;
  state.counters["gap_max_ms"] = worst;
}
BENCHMARK(UtteranceGap)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace mdspeak::testing

BENCHMARK_MAIN();
