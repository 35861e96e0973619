// The silence between two utterances on the null sink, as a listener hears it: the service
// speaks eight short paragraphs and the recorder finds the sound of each; in the natural reading
// also with a voice change between every two. Needs our own
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

// Speaks the paragraphs of `text` `state`'s iterations times, each by a fresh service, and
// reports the mean and worst silence between them.
void measure_gaps(benchmark::State& state, const std::string& text, std::size_t count,
                  bool natural) {
  SinkRecorder recorder;
  const auto socket = SinkRecorder::stack_pulse_socket();
  if (!socket || !recorder.start(*socket) || !recorder.wait_until_recording(3s)) {
    state.SkipWithError("needs scripts/speech-stack up");
    return;
  }
  double sum = 0, worst = 0;
  int gaps = 0;
  for (auto _ : state) {
    ServiceProcess service;
    nlohmann::json load = {
        {"type", "load_document"}, {"id", "1"}, {"document_id", "d"}, {"text", text}};
    if (natural) load["reading"] = "natural";
    // A voice list at hand, as for a client that showed one: voices are then chosen by name.
    service.write(R"({"type":"list_voices","id":"v"})"
                  "\n");
    service.write(load.dump() + "\n");
    while (auto line = service.read_line(20s)) {
      if (line->find("load_document_result") != std::string::npos) break;
    }
    const auto start = Clock::now();
    service.write(R"({"type":"speak","id":"2","document_id":"d","rate":1})"
                  "\n");
    service.close_stdin();
    std::size_t ends = 0;
    while (auto line = service.read_line(20s)) {
      if (line->find("\"utterance_end\"") != std::string::npos) ++ends;
    }
    service.wait();
    std::this_thread::sleep_for(300ms);
    const auto sounds = recorder.segments(start, 0.003, 90ms);
    if (ends != count || sounds.size() != count) {
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

void UtteranceGap(benchmark::State& state) {
  measure_gaps(state,
               "Alpha.\n\nBravo.\n\nCharlie.\n\nDelta.\n\nEcho.\n\nFoxtrot.\n\nGolf.\n\nHotel.", 8,
               false);
}
BENCHMARK(UtteranceGap)->Unit(benchmark::kMillisecond)->Iterations(3);

// Natural reading, eight short paragraphs: all English (0), all Spanish (1), or the two in turn
// (2), where every utterance is spoken by another voice than the one before. The cost of a voice
// change is the third's gap over the mean of the first two.
void PassageVoiceGap(benchmark::State& state) {
  const std::string english[] = {"The weather is nice today.", "We read the whole book.",
                                 "They walked along the river.", "She opened the window."};
  const std::string spanish[] = {"Hoy hace muy buen tiempo.", "Leemos todo el libro juntos.",
                                 "Caminaron por la orilla del río.", "Ella abrió la ventana."};
  std::string text;
  for (int i = 0; i < 8; ++i) {
    const bool in_spanish = state.range(0) == 1 || (state.range(0) == 2 && i % 2 == 1);
    if (!text.empty()) text += "\n\n";
    text += in_spanish ? spanish[i / 2] : english[i / 2];
  }
  measure_gaps(state, text, 8, true);
}
BENCHMARK(PassageVoiceGap)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace mdspeak::testing

BENCHMARK_MAIN();
