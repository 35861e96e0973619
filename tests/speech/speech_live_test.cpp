// The speech engine on the real synthesizer: needs a speech-dispatcher that can speak
// (scripts/speech-stack up). Utterances are spoken fast to keep the run short.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "speech/speech_engine.h"
#include "speech/voice_ranking.h"
#include "support/channel_wait.h"
#include "support/fake_speechd.h"
#include "support/sink_recorder.h"

namespace mdspeak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Live {
  std::optional<Receiver<SpeechEvent>> events;
  std::optional<SpeechEngine> engine;

  void start() {
    auto [sender, receiver] = make_channel<SpeechEvent>();
    events.emplace(std::move(receiver));
    auto created = SpeechEngine::create(std::move(sender));
    ASSERT_TRUE(created) << created.error().describe();
    engine.emplace(std::move(*created));
  }

  // The next event, or nullopt after `timeout`.
  std::optional<SpeechEvent> next(std::chrono::milliseconds timeout = 15s) {
    return next_value(*events, timeout);
  }

  std::string speak(const std::string& text, bool interrupt) {
    auto id = engine->speak(text, interrupt);
    EXPECT_TRUE(id) << id.error().describe();
    if (!id || !id->has_value()) return "<none>";
    return (*id)->text();
  }
};

// One engine for the suite, as the service has one for its life; each test starts from silence.
class LiveSpeech : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = new Live;
    shared_->start();
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(shared_ != nullptr && shared_->engine) << "no engine";
    ASSERT_TRUE(shared_->engine->stop());
    std::optional<SpeechEvent> stale;
    while (shared_->events->try_recv(stale) == TryRecv::Value) stale.reset();
  }
  Live& live() { return *shared_; }

 private:
  static Live* shared_;
};

Live* LiveSpeech::shared_ = nullptr;

std::string describe(const std::optional<SpeechEvent>& event) {
  if (!event) return "<nothing>";
  return (event->kind == SpeechEventKind::UtteranceBegin ? "B:" : "E:") + event->id.text();
}

TEST_F(LiveSpeech, CreatesWithEveryFeatureButGetVoice) {
  Live& live = this->live();
  EXPECT_EQ(feature_text(live.engine->features()),
            "Features { is_speaking: true, pitch: true, rate: true, stop: true, "
            "utterance_callbacks: true, voice: true, get_voice: false, volume: true }");
}

TEST_F(LiveSpeech, CatalogueListsEnglishAndSpanishVoicesInRankOrder) {
  Live& live = this->live();
  auto catalogue = live.engine->supported_voices();
  ASSERT_TRUE(catalogue) << catalogue.error().describe();

  const std::string locale = person_locale_from_environment();
  // Score, the person's language, the engine (with more engines installed), the region.
  auto key = [&](const Voice& v) {
    const int closeness = locale_closeness(v.language, locale);
    return std::make_tuple(-voice_priority(v, std::nullopt), closeness / 3, engine_rank(v),
                           closeness, v.language, v.name);
  };
  EXPECT_TRUE(std::is_sorted(catalogue->begin(), catalogue->end(),
                             [&](const Voice& a, const Voice& b) { return key(a) < key(b); }));
  auto has = [&](const char* id, const char* language) {
    return std::any_of(catalogue->begin(), catalogue->end(), [&](const Voice& v) {
      return v.id == id && v.name == id && v.language == language && !v.gender;
    });
  };
  EXPECT_TRUE(has("English (America)", "en-US"));
  EXPECT_TRUE(has("Spanish (Latin America)", "es-419"));
  for (const Voice& v : *catalogue) {
    EXPECT_TRUE(from_locale(v.language).has_value()) << v.language;
  }

  auto listed = live.engine->voices();
  ASSERT_TRUE(listed);
  ASSERT_EQ(listed->size(), catalogue->size());
  for (std::size_t i = 0; i < listed->size(); ++i) {
    EXPECT_EQ((*listed)[i].id, (*catalogue)[i].id);
    EXPECT_EQ((*listed)[i].locale, (*catalogue)[i].language);
    EXPECT_EQ((*listed)[i].gender, std::nullopt);
  }
}

TEST_F(LiveSpeech, ConfigureChoosesAVoiceOfTheLanguage) {
  Live& live = this->live();
  for (auto language : {SupportedLanguage::English, SupportedLanguage::Spanish}) {
    auto configured = live.engine->configure(std::nullopt, language, 1.0f);
    EXPECT_TRUE(configured) << configured.error().describe();
  }
  auto honoured =
      live.engine->configure("Spanish (Latin America)", SupportedLanguage::Spanish, 2.0f);
  EXPECT_TRUE(honoured) << honoured.error().describe();
}

TEST_F(LiveSpeech, ThreeUtterancesBeginAndEndInOrderWithTheirIds) {
  Live& live = this->live();
  ASSERT_TRUE(live.engine->configure(std::nullopt, SupportedLanguage::English, 2.0f));
  ASSERT_TRUE(live.engine->stop());
  std::vector<std::string> ids{live.speak("One.", true), live.speak("Two.", false),
                               live.speak("Three.", false)};
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 3u);

  std::vector<std::string> seen;
  for (int i = 0; i < 6; ++i) seen.push_back(describe(live.next()));
  EXPECT_EQ(seen, (std::vector<std::string>{"B:" + ids[0], "E:" + ids[0], "B:" + ids[1],
                                            "E:" + ids[1], "B:" + ids[2], "E:" + ids[2]}));
}

TEST_F(LiveSpeech, StopDuringTheSecondUtteranceEndsEverything) {
  Live& live = this->live();
  ASSERT_TRUE(live.engine->configure(std::nullopt, SupportedLanguage::English, 2.0f));
  std::string first = live.speak("One.", true);
  std::string second = live.speak(
      "This second sentence is long enough to be stopped while it is being spoken, "
      "even at twice the normal speed of the synthesizer.",
      false);
  live.speak("Three.", false);

  EXPECT_EQ(describe(live.next()), "B:" + first);
  EXPECT_EQ(describe(live.next()), "E:" + first);
  EXPECT_EQ(describe(live.next()), "B:" + second);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(live.engine->stop());
  EXPECT_FALSE(*live.engine->is_speaking());

  // The third would begin within milliseconds of the second's end; give it ample time.
  EXPECT_EQ(describe(live.next(1500ms)), "<nothing>");
}

TEST_F(LiveSpeech, IsSpeakingWhileAnUtteranceRuns) {
  Live& live = this->live();
  ASSERT_TRUE(live.engine->configure(std::nullopt, SupportedLanguage::English, 2.0f));
  EXPECT_FALSE(*live.engine->is_speaking());
  std::string id = live.speak("Speaking now.", true);
  EXPECT_TRUE(*live.engine->is_speaking());
  EXPECT_EQ(describe(live.next()), "B:" + id);
  EXPECT_TRUE(*live.engine->is_speaking());
  EXPECT_EQ(describe(live.next()), "E:" + id);
  EXPECT_FALSE(*live.engine->is_speaking());
}

TEST_F(LiveSpeech, SpeakWithInterruptReplacesWhatWasQueued) {
  Live& live = this->live();
  ASSERT_TRUE(live.engine->configure(std::nullopt, SupportedLanguage::English, 2.0f));
  std::string first =
      live.speak("This sentence is interrupted before it can finish speaking.", true);
  EXPECT_EQ(describe(live.next()), "B:" + first);
  std::string second = live.speak("Instead.", true);
  EXPECT_EQ(describe(live.next()), "B:" + second);
  EXPECT_EQ(describe(live.next()), "E:" + second);
}

TEST(LiveSpeechCreation, WithoutADaemonCreationFailsWithinTwoSeconds) {
  ScopedEnv missing("SPEECHD_ADDRESS", "unix_socket:/tmp/mdspeak-no-such-dir/speechd.sock");
  auto [sender, receiver] = make_channel<SpeechEvent>();
  auto started = Clock::now();
  auto created = SpeechEngine::create(std::move(sender));
  auto took = Clock::now() - started;
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message, "failed to initialize system TTS");
  EXPECT_LT(took, 2s);
  std::optional<SpeechEvent> event;
  EXPECT_EQ(receiver.try_recv(event), TryRecv::Disconnected);
}

// Once per run: what the engine speaks really reaches the sound server, and stopping silences it.
TEST_F(LiveSpeech, SpeechIsAudibleOnTheNullSinkAndStopSilencesIt) {
  auto socket = SinkRecorder::stack_pulse_socket();
  if (!socket) GTEST_SKIP() << "not our speech stack: its sink cannot be recorded";
  Live& live = this->live();
  ASSERT_TRUE(live.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f));

  SinkRecorder recorder;
  ASSERT_TRUE(recorder.start(*socket)) << recorder.error();
  ASSERT_TRUE(recorder.wait_until_recording(3s));
  auto before = Clock::now();
  std::string id = live.speak(
      "The quick brown fox jumps over the lazy dog, and then it keeps on running for a long "
      "while, far beyond the end of this test.",
      true);
  EXPECT_EQ(describe(live.next()), "B:" + id);
  std::this_thread::sleep_for(1500ms);
  auto stopped = Clock::now();
  ASSERT_TRUE(live.engine->stop());
  std::this_thread::sleep_for(700ms);
  recorder.stop();

  double speech = recorder.rms_between(before, stopped);
  double after = recorder.rms_between(stopped + 300ms, Clock::time_point::max());
  EXPECT_GT(speech, 0.01) << "nothing audible was recorded while speaking";
  EXPECT_LT(after, 0.001) << "still audible after stop";
}

}  // namespace
}  // namespace mdspeak
