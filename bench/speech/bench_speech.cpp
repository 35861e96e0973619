// Latencies of the speech engine on the real speech-dispatcher (scripts/speech-stack up).
//
//   EngineCreate     SpeechEngine::create: connect, callbacks, notifications
//   Configure        rate and voice for an English document, voice list already cached
//   SpeakToBegin     speak() called until the begin event is received
//   SpeakToSound     speak() called until the null sink records sound (our stack only)
//   StopToSilence    stop() called until the null sink records silence (our stack only)
//   MarkToSound      a word's index mark received until its sound reaches the null sink; words
//                    are separated by sentence pauses so each onset is clear (our stack only).
//                    Reported as counters (ms, negative when the sound came first).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "speech/speech_engine.h"
#include "support/channel_wait.h"
#include "support/sink_recorder.h"

namespace mdspeak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr double kAudible = 0.003;
constexpr const char* kLongSentence =
    "The quick brown fox jumps over the lazy dog and keeps on running for a long while.";

struct Engine {
  std::optional<Receiver<SpeechEvent>> events;
  std::optional<SpeechEngine> engine;

  bool start() {
    auto [sender, receiver] = make_channel<SpeechEvent>();
    events.emplace(std::move(receiver));
    auto created = SpeechEngine::create(std::move(sender));
    if (!created) return false;
    engine.emplace(std::move(*created));
    return engine->configure(std::nullopt, SupportedLanguage::English, 1.0f).has_value();
  }

  // Waits for an event of `kind`; false after 10 s.
  bool wait_for(SpeechEventKind kind) {
    auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
      std::optional<SpeechEvent> event = next_value(*events, 100ms);
      if (event && event->kind == kind) return true;
    }
    return false;
  }
};

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void EngineCreate(benchmark::State& state) {
  for (auto _ : state) {
    auto [sender, receiver] = make_channel<SpeechEvent>();
    auto created = SpeechEngine::create(std::move(sender));
    if (!created) {
      state.SkipWithError("no speech-dispatcher");
      return;
    }
    state.PauseTiming();
    created = fail(Error("released"));  // the engine goes outside the measured time
    state.ResumeTiming();
  }
}
BENCHMARK(EngineCreate)->Unit(benchmark::kMillisecond)->Iterations(20);

void Configure(benchmark::State& state) {
  Engine e;
  if (!e.start()) {
    state.SkipWithError("no speech-dispatcher");
    return;
  }
  for (auto _ : state) {
    if (!e.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f)) {
      state.SkipWithError("configure failed");
      return;
    }
  }
}
BENCHMARK(Configure)->Unit(benchmark::kMillisecond)->Iterations(200);

void SpeakToBegin(benchmark::State& state) {
  Engine e;
  if (!e.start()) {
    state.SkipWithError("no speech-dispatcher");
    return;
  }
  for (auto _ : state) {
    auto start = Clock::now();
    if (!e.engine->speak("Hello.", true) || !e.wait_for(SpeechEventKind::UtteranceBegin)) {
      state.SkipWithError("no begin event");
      return;
    }
    state.SetIterationTime(seconds(Clock::now() - start));
    e.wait_for(SpeechEventKind::UtteranceEnd);
  }
}
BENCHMARK(SpeakToBegin)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// Both need our own stack, whose null sink can be recorded.
// Starts the engine and a recorder of our stack's null sink; false (the benchmark skipped) when
// either cannot run.
bool start_recording(benchmark::State& state, Engine& e, SinkRecorder& recorder) {
  auto socket = SinkRecorder::stack_pulse_socket();
  if (!socket || !e.start() || !recorder.start(*socket)) {
    state.SkipWithError("needs scripts/speech-stack up");
    return false;
  }
  if (!recorder.wait_until_recording(3s)) {
    state.SkipWithError("parec records nothing");
    return false;
  }
  return true;
}

void SpeakToSound(benchmark::State& state) {
  Engine e;
  SinkRecorder recorder;
  if (!start_recording(state, e, recorder)) return;
  for (auto _ : state) {
    auto start = Clock::now();
    if (!e.engine->speak("Hello.", true) || !e.wait_for(SpeechEventKind::UtteranceEnd)) {
      state.SkipWithError("no end event");
      return;
    }
    std::this_thread::sleep_for(200ms);
    auto sound = recorder.sound_from(start, kAudible);
    if (!sound) {
      state.SkipWithError("nothing audible recorded");
      return;
    }
    state.SetIterationTime(seconds(*sound - start));
  }
}
BENCHMARK(SpeakToSound)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void StopToSilence(benchmark::State& state) {
  Engine e;
  SinkRecorder recorder;
  if (!start_recording(state, e, recorder)) return;
  for (auto _ : state) {
    if (!e.engine->speak(kLongSentence, true) || !e.wait_for(SpeechEventKind::UtteranceBegin)) {
      state.SkipWithError("no begin event");
      return;
    }
    std::this_thread::sleep_for(700ms);
    auto stop = Clock::now();
    if (!e.engine->stop()) {
      state.SkipWithError("stop failed");
      return;
    }
    std::this_thread::sleep_for(600ms);
    auto quiet = recorder.quiet_from(stop, kAudible);
    if (!quiet) {
      state.SkipWithError("still audible after stop");
      return;
    }
    state.SetIterationTime(seconds(*quiet - stop));
  }
}
BENCHMARK(StopToSilence)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void MarkToSound(benchmark::State& state) {
  Engine e;
  SinkRecorder recorder;
  if (!start_recording(state, e, recorder)) return;
  const std::string text = "One. Two. Three. Four. Five. Six.";
  const std::vector<WordMark> words = {{0, 4}, {5, 9}, {10, 16}, {17, 22}, {23, 28}, {29, 33}};
  double sum = 0, worst = -1e9, best = 1e9;
  int count = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!e.engine->speak(text, words, true)) {
      state.SkipWithError("speak failed");
      return;
    }
    std::vector<Clock::time_point> marks;
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline) {
      std::optional<SpeechEvent> event = next_value(*e.events, 100ms);
      if (!event) continue;
      if (event->kind == SpeechEventKind::Word) marks.push_back(Clock::now());
      if (event->kind == SpeechEventKind::UtteranceEnd) break;
    }
    std::this_thread::sleep_for(300ms);
    std::vector<Clock::time_point> onsets;
    for (const auto& segment : recorder.segments(start, kAudible, 60ms)) {
      onsets.push_back(segment.start);
    }
    if (marks.size() != words.size() || onsets.size() < words.size()) {
      state.SkipWithError(
          ("marks " + std::to_string(marks.size()) + ", onsets " + std::to_string(onsets.size()))
              .c_str());
      return;
    }
    for (const auto mark : marks) {
      // The onset nearest to the mark is its word's.
      auto nearest = onsets.front();
      for (const auto onset : onsets) {
        if (std::chrono::abs(onset - mark) < std::chrono::abs(nearest - mark)) nearest = onset;
      }
      const double ms = std::chrono::duration<double, std::milli>(nearest - mark).count();
      sum += ms;
      worst = std::max(worst, ms);
      best = std::min(best, ms);
      ++count;
    }
  }
  state.counters["mean_ms"] = sum / count;
  state.counters["min_ms"] = best;
  state.counters["max_ms"] = worst;
}
BENCHMARK(MarkToSound)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
}  // namespace mdspeak

BENCHMARK_MAIN();
