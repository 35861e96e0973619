// Every speech engine speech-dispatcher has on this machine (scripts/bootstrap --voices and
// --voices=non-free install them; scripts/speech-stack up starts festival's server): each speaks
// audibly, reports its words in order (marked or estimated, as its word timing says), stops and
// speaks again, and the ranking puts the best ones first. An engine that is not installed skips.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "speech/speech_engine.h"
#include "speech/voice_ranking.h"
#include "speech/words.h"
#include "support/channel_wait.h"
#include "support/sink_recorder.h"

namespace mdspeak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Engines {
  std::optional<Receiver<SpeechEvent>> events;
  std::optional<SpeechEngine> engine;
  std::vector<Voice> voices;
};

Engines* shared = nullptr;

class LiveEngines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared = new Engines;
    auto [sender, receiver] = make_channel<SpeechEvent>();
    shared->events.emplace(std::move(receiver));
    auto created = SpeechEngine::create(std::move(sender));
    if (!created) return;
    shared->engine.emplace(std::move(*created));
    if (auto listed = shared->engine->supported_voices()) shared->voices = std::move(*listed);
  }
  static void TearDownTestSuite() {
    delete shared;
    shared = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(shared->engine) << "no speech engine";
    ASSERT_TRUE(shared->engine->stop());
    std::optional<SpeechEvent> stale;
    while (shared->events->try_recv(stale) == TryRecv::Value) stale.reset();
  }

  // The first voice of `engine` for `language`, or nullopt.
  static std::optional<Voice> voice_of(std::string_view engine, SupportedLanguage language) {
    for (const Voice& v : shared->voices) {
      if (v.engine == engine && language_matches_voice(language, v)) return v;
    }
    return std::nullopt;
  }

  // Events up to the end of the utterance `id` (nothing after 20 s).
  static std::vector<SpeechEvent> until_end(const std::string& id) {
    std::vector<SpeechEvent> out;
    while (auto event = next_value(*shared->events, 20000ms)) {
      out.push_back(*event);
      if (event->kind == SpeechEventKind::UtteranceEnd && event->id.text() == id) break;
    }
    return out;
  }
};

struct EngineCase {
  const char* engine;
  SupportedLanguage language;
  const char* text;
};

class EachEngine : public LiveEngines, public ::testing::WithParamInterface<EngineCase> {};

TEST_P(EachEngine, SpeaksItsWordsInOrderStopsAndSpeaksAgain) {
  const EngineCase& c = GetParam();
  auto voice = voice_of(c.engine, c.language);
  if (!voice) {
    GTEST_SKIP() << c.engine << " has no voice for this language here; "
                 << "scripts/bootstrap --voices=non-free installs it";
  }
  auto socket = SinkRecorder::stack_pulse_socket();
  if (!socket) GTEST_SKIP() << "not our speech stack: its sink cannot be recorded";
  SpeechEngine& engine = *shared->engine;
  const WordTiming timing = word_timing(*voice);
  ASSERT_TRUE(engine.configure(voice->id, c.language, 1.0f, true));

  SinkRecorder recorder;
  ASSERT_TRUE(recorder.start(*socket)) << recorder.error();
  ASSERT_TRUE(recorder.wait_until_recording(3s));
  const std::string text = c.text;
  const std::vector<WordMark> words = split_words(text);
  auto id = engine.speak(text, words, true);
  ASSERT_TRUE(id && *id) << voice->id;
  const auto before = Clock::now();
  std::vector<SpeechEvent> events = until_end((*id)->text());
  const auto after = Clock::now();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front().kind, SpeechEventKind::UtteranceBegin) << voice->id;
  ASSERT_EQ(events.back().kind, SpeechEventKind::UtteranceEnd) << voice->id << ": no end";
  std::vector<std::size_t> heard;
  for (const SpeechEvent& e : events) {
    if (e.kind != SpeechEventKind::Word) continue;
    EXPECT_EQ(e.estimated, timing == WordTiming::None) << voice->id;
    heard.push_back(e.word);
  }
  EXPECT_TRUE(std::is_sorted(heard.begin(), heard.end())) << voice->id;
  EXPECT_TRUE(std::adjacent_find(heard.begin(), heard.end()) == heard.end()) << voice->id;
  if (timing != WordTiming::Approximate) {
    // Exact marks and estimates report every word; approximate marks may lose some.
    EXPECT_EQ(heard.size(), words.size()) << voice->id;
  }
  EXPECT_GT(recorder.rms_between(before, after), 0.01) << voice->id << " was not heard";

  // Stopped mid-sentence it falls silent, and then speaks again (a pause and its resume).
  auto again = engine.speak(text, words, true);
  ASSERT_TRUE(again && *again);
  auto begin = next_value(*shared->events, 15000ms);
  ASSERT_TRUE(begin);
  std::this_thread::sleep_for(600ms);
  ASSERT_TRUE(engine.stop());
  const auto stopped = Clock::now();
  std::this_thread::sleep_for(800ms);
  const auto resumed = Clock::now();
  auto third = engine.speak(text, words, true);
  ASSERT_TRUE(third && *third);
  until_end((*third)->text());
  const auto done = Clock::now();
  recorder.stop();
  EXPECT_LT(recorder.rms_between(stopped + 400ms, resumed), 0.001)
      << voice->id << " still audible after stop";
  const double resumed_rms = recorder.rms_between(resumed, done);
  if (std::string_view(c.engine) == "festival" && resumed_rms <= 0.01) {
    // Known: speech-dispatcher's festival module dies when its speech is stopped; the daemon
    // then ends festival's utterances unheard until it is restarted.
    std::printf("[ UNSUPPORTED ] %s does not speak again after a stop\n", voice->id.c_str());
    RecordProperty("resume", "unsupported");
  } else {
    EXPECT_GT(resumed_rms, 0.01) << voice->id << " silent after resuming";
  }
}

TEST_P(EachEngine, RateIsHonouredOrReportedUnsupported) {
  const EngineCase& c = GetParam();
  auto voice = voice_of(c.engine, c.language);
  if (!voice) GTEST_SKIP() << c.engine << " has no voice for this language here";
  SpeechEngine& engine = *shared->engine;
  auto duration = [&](float rate) {
    EXPECT_TRUE(engine.configure(voice->id, c.language, rate));
    auto id = engine.speak(c.text, true);
    if (!id || !*id) return Clock::duration::zero();
    auto begin = Clock::now();
    until_end((*id)->text());
    return Clock::now() - begin;
  };
  const auto normal = duration(1.0f);
  const auto fast = duration(2.0f);
  ASSERT_GT(normal, Clock::duration::zero());
  if (fast * 100 > normal * 85) {
    // Not a failure: the engine ignores the rate (festival's HTS voices do).
    std::printf("[ UNSUPPORTED ] %s ignores the speaking rate (%lld ms at 1.0, %lld ms at 2.0)\n",
                voice->id.c_str(),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(normal).count()),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(fast).count()));
    RecordProperty("rate", "unsupported");
  }
}

constexpr const char* kEnglishText = "Reading aloud helps us follow long documents.";
constexpr const char* kSpanishText = "Leer en voz alta ayuda a seguir documentos largos.";

INSTANTIATE_TEST_SUITE_P(
    Engines, EachEngine,
    ::testing::Values(EngineCase{"espeak-ng", SupportedLanguage::English, kEnglishText},
                      EngineCase{"espeak-ng", SupportedLanguage::Spanish, kSpanishText},
                      EngineCase{"rhvoice", SupportedLanguage::English, kEnglishText},
                      EngineCase{"festival", SupportedLanguage::English, kEnglishText},
                      EngineCase{"espeak-ng-mbrola", SupportedLanguage::English, kEnglishText},
                      EngineCase{"espeak-ng-mbrola", SupportedLanguage::Spanish, kSpanishText},
                      EngineCase{"pico", SupportedLanguage::English, kEnglishText},
                      EngineCase{"pico", SupportedLanguage::Spanish, kSpanishText}),
    [](const auto& info) {
      std::string name = std::string(info.param.engine) +
                         (info.param.language == SupportedLanguage::English ? "_en" : "_es");
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

TEST_F(LiveEngines, RhvoiceForEnglishAndMbrolaOrEspeakForSpanish) {
  auto first = [](SupportedLanguage language) -> std::optional<Voice> {
    for (const Voice& v : shared->voices) {
      if (language_matches_voice(language, v)) return v;
    }
    return std::nullopt;
  };
  auto english = first(SupportedLanguage::English);
  auto spanish = first(SupportedLanguage::Spanish);
  ASSERT_TRUE(english && spanish);
  if (voice_of("rhvoice", SupportedLanguage::English)) {
    EXPECT_EQ(english->engine, "rhvoice") << english->id;
  } else {
    std::printf("[ SKIPPED ] RHVoice is not installed: English is read by %s\n",
                english->id.c_str());
  }
  EXPECT_TRUE(spanish->engine == "espeak-ng-mbrola" || spanish->engine == "espeak-ng" ||
              spanish->engine.empty())
      << spanish->id;
}

}  // namespace
}  // namespace mdspeak
