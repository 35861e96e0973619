// The speech-dispatcher backend against a scripted daemon that stops answering: every call must
// come back within its bound, as an error, and the engine must stay usable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "speech/speech_engine.h"
#include "support/fake_speechd.h"

namespace mdspeak {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Every bounded call gives up after 2 s; a little slack for a loaded machine.
constexpr auto kBound = 3s;

struct Stalling {
  FakeSpeechd daemon;
  std::optional<ScopedEnv> address;
  std::optional<Receiver<SpeechEvent>> events;
  std::optional<SpeechEngine> engine;

  void start() {
    ASSERT_TRUE(daemon.ok());
    address.emplace("SPEECHD_ADDRESS", daemon.address());
    auto [sender, receiver] = make_channel<SpeechEvent>();
    events.emplace(std::move(receiver));
    auto created = SpeechEngine::create(std::move(sender));
    ASSERT_TRUE(created) << created.error().describe();
    engine.emplace(std::move(*created));
  }

  int count(const std::string& prefix) const {
    auto commands = daemon.commands();
    return static_cast<int>(std::count_if(commands.begin(), commands.end(),
                                          [&](auto& c) { return c.rfind(prefix, 0) == 0; }));
  }
};

std::string cause_of(const Error& error) {
  return error.cause ? error.cause->message : "<none>";
}

class CreationHangs : public ::testing::TestWithParam<const char*> {};

TEST_P(CreationHangs, FailsWithinTwoSeconds) {
  FakeSpeechd daemon;
  ASSERT_TRUE(daemon.ok());
  daemon.stall_on(GetParam());
  ScopedEnv address("SPEECHD_ADDRESS", daemon.address());
  auto [sender, receiver] = make_channel<SpeechEvent>();
  auto started = Clock::now();
  auto created = SpeechEngine::create(std::move(sender));
  EXPECT_LT(Clock::now() - started, 2s);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message, "failed to initialize system TTS");
  EXPECT_EQ(cause_of(created.error()), "IO error: Connection timed out");
  std::optional<SpeechEvent> event;
  EXPECT_EQ(receiver.try_recv(event), TryRecv::Disconnected);
}

// A daemon that never answers, and one that stops answering during the set-up.
INSTANTIATE_TEST_SUITE_P(Stalls, CreationHangs,
                         ::testing::Values("SET SELF CLIENT_NAME", "HISTORY GET CLIENT_ID",
                                           "SET SELF NOTIFICATION"));

TEST(StalledDaemon, AnsweringDaemonIsDrivenWithTheExpectedCommands) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  auto voices = s.engine->voices();
  ASSERT_TRUE(voices) << voices.error().describe();
  std::vector<VoiceInfo> expected{
      {"English (America)", "English (America)", "en-US", std::nullopt},
      {"Spanish (Latin America)", "Spanish (Latin America)", "es-419", std::nullopt}};
  EXPECT_EQ(*voices, expected);

  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::Spanish, 0.75f));
  auto id = s.engine->speak("hola", true);
  ASSERT_TRUE(id) << id.error().describe();
  ASSERT_TRUE(id->has_value());
  EXPECT_EQ((*id)->text(), "SpeechDispatcher(1)");

  auto commands = s.daemon.commands();
  auto has = [&](const std::string& c) {
    return std::find(commands.begin(), commands.end(), c) != commands.end();
  };
  EXPECT_TRUE(has("SET SELF RATE -50"));
  EXPECT_TRUE(has("SET SELF SYNTHESIS_VOICE Spanish (Latin America)"));
  EXPECT_TRUE(has("SET SELF PRIORITY MESSAGE"));
  EXPECT_EQ(s.count("CANCEL"), 1);  // the interrupt
  // A daemon that names no output modules is never asked to switch one.
  EXPECT_EQ(s.count("SET SELF OUTPUT_MODULE"), 0);
}

// Every output module's voices are listed: the default module's under their names as before,
// the others' as "module:name". Speaking with one switches the speaking connection to its module
// and a voice of the default module switches it back.
TEST(SpeechdModules, VoicesOfEveryModuleAndTheModuleSwitchedForThem) {
  ScopedEnv locale("LC_ALL", "en_US.UTF-8");
  Stalling s;
  s.daemon.set_modules(
      {{"espeak-ng", {"English (America)\ten-US\tnone", "English (America)+Klatt\ten-US\tKlatt"}},
       {"rhvoice", {"Alan\ten\tnone", "Slt\ten\tnone"}},
       {"pico", {"isabel\tes-ES\tnone"}},
       // A module that died: the daemon lists its default module's voices for it.
       {"festival", {"English (America)\ten-US\tnone", "English (America)+Klatt\ten-US\tKlatt"}}});
  ASSERT_NO_FATAL_FAILURE(s.start());
  auto voices = s.engine->voices(true);
  ASSERT_TRUE(voices) << voices.error().describe();
  std::vector<std::string> listed;
  for (const VoiceInfo& v : *voices) {
    ASSERT_TRUE(v.details);
    listed.push_back(v.id + " " + v.details->engine + " " + v.details->word_timing);
  }
  EXPECT_EQ(listed, (std::vector<std::string>{
                        "rhvoice:Alan rhvoice exact", "rhvoice:Slt rhvoice exact",
                        "English (America) espeak-ng exact", "pico:isabel pico none"}));

  auto connection_commands = [&] {
    std::vector<std::string> out;
    for (const std::string& c : s.daemon.commands()) {
      if (c.starts_with("SET SELF OUTPUT_MODULE") || c.starts_with("SET SELF SYNTHESIS_VOICE")) {
        out.push_back(c);
      }
    }
    return out;
  };
  const auto listing = connection_commands();  // the listing connection's own switches
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f));
  ASSERT_TRUE(
      s.engine->configure(std::string("English (America)"), SupportedLanguage::English, 1.0f));
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::Spanish, 1.0f));
  auto all = connection_commands();
  std::vector<std::string> spoken(all.begin() + static_cast<std::ptrdiff_t>(listing.size()),
                                  all.end());
  EXPECT_EQ(spoken,
            (std::vector<std::string>{
                "SET SELF OUTPUT_MODULE rhvoice", "SET SELF SYNTHESIS_VOICE Alan",
                "SET SELF OUTPUT_MODULE espeak-ng", "SET SELF SYNTHESIS_VOICE English (America)",
                "SET SELF OUTPUT_MODULE pico", "SET SELF SYNTHESIS_VOICE isabel"}));
}

TEST(StalledDaemon, UnknownVoiceIsRefusedWithoutAskingTheDaemon) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->voices());
  auto configured = s.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f);
  ASSERT_TRUE(configured) << configured.error().describe();
  // The facade only sets listed voices; a name the daemon does not list is refused.
  EXPECT_EQ(s.count("SET SELF SYNTHESIS_VOICE"), 1);
}

TEST(StalledDaemon, StopThatHangsFailsInTimeAndTheNextSpeakReconnects) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::English, 1.5f));
  ASSERT_TRUE(s.engine->speak("one", false));

  s.daemon.stall_on("CANCEL");
  auto started = Clock::now();
  auto stopped = s.engine->stop();
  EXPECT_LT(Clock::now() - started, kBound);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().message, "failed to stop speech");
  EXPECT_EQ(cause_of(stopped.error()), "IO error: Connection timed out");
  EXPECT_FALSE(*s.engine->is_speaking());

  s.daemon.stall_on("");
  auto again = s.engine->speak("two", false);
  ASSERT_TRUE(again) << again.error().describe();
  EXPECT_EQ(s.daemon.connections(), 2);  // main and the new main; nothing asked for the list
  // The new connection speaks with the rate and language that were set before.
  EXPECT_EQ(s.count("SET SELF RATE 50"), 2);
  EXPECT_EQ(s.count("SET SELF LANGUAGE en-US"), 2);
}

class SpeakHangs : public ::testing::TestWithParam<const char*> {};

TEST_P(SpeakHangs, FailsInTime) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  s.daemon.stall_on(GetParam());
  auto started = Clock::now();
  auto spoken = s.engine->speak("one", false);
  EXPECT_LT(Clock::now() - started, kBound);
  ASSERT_FALSE(spoken);
  EXPECT_EQ(spoken.error().message, "failed to queue speech");
  EXPECT_EQ(cause_of(spoken.error()), "IO error: Connection timed out");
}

// Before the command is accepted, and after the text, before the message id comes back.
INSTANTIATE_TEST_SUITE_P(Stalls, SpeakHangs, ::testing::Values("SET SELF PRIORITY", "SPEAK", "."));

// Polls `is_speaking` until it answers false; how long that took (10 s or more: never).
Clock::duration time_until_silent(SpeechEngine& engine) {
  auto started = Clock::now();
  while (Clock::now() - started < 10s) {
    auto speaking = engine.is_speaking();
    if (speaking && !*speaking) break;
    std::this_thread::sleep_for(25ms);
  }
  return Clock::now() - started;
}

// Queued speech whose events never come: once the daemon also stops answering, the backend
// stops claiming to speak, so that a host waiting for silence can exit.
TEST(StalledDaemon, IsSpeakingGivesUpOnADaemonThatStoppedAnswering) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->speak("never begins", false));
  EXPECT_TRUE(*s.engine->is_speaking());

  s.daemon.stall_on("HISTORY");
  EXPECT_LT(time_until_silent(*s.engine), 2s + kBound);
}

// While the daemon lists its voices it answers nobody, so speech never waits for a listing: a
// daemon that never finishes one still speaks at once, first by language, and once a list
// exists by the voice's name, without listing again.
TEST(StalledDaemon, SpeechNeverWaitsForTheVoiceList) {
  Stalling s;
  s.daemon.stall_on("LIST SYNTHESIS_VOICES");
  ASSERT_NO_FATAL_FAILURE(s.start());
  auto started = Clock::now();
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::Spanish, 1.0f));
  ASSERT_TRUE(s.engine->speak("hola", true));
  EXPECT_LT(Clock::now() - started, 1s);
  EXPECT_EQ(s.count("SET SELF LANGUAGE es-ES"), 1);
  EXPECT_EQ(s.count("LIST SYNTHESIS_VOICES"), 0);

  s.daemon.stall_on("");
  ASSERT_TRUE(s.engine->voices());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::Spanish, 1.0f));
  }
  EXPECT_EQ(s.count("SET SELF SYNTHESIS_VOICE Spanish (Latin America)"), 3);
  EXPECT_EQ(s.count("LIST SYNTHESIS_VOICES"), 1);
}

// A restarted daemon may no longer have the listed voice, and it would not refuse the name: after
// a new connection, the voice is chosen by language again until the list is read again.
TEST(StalledDaemon, AfterAReconnectionTheVoiceIsChosenByLanguage) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->voices());
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f));
  EXPECT_EQ(s.count("SET SELF SYNTHESIS_VOICE English (America)"), 1);
  s.daemon.drop_connections();
  ASSERT_TRUE(s.engine->configure(std::nullopt, SupportedLanguage::English, 1.0f));
  EXPECT_EQ(s.count("SET SELF LANGUAGE en-US"), 1);
  EXPECT_EQ(s.count("SET SELF SYNTHESIS_VOICE English (America)"), 2);  // restored, then replaced
  EXPECT_EQ(s.count("LIST SYNTHESIS_VOICES"), 1);
}

// libspeechd closes the socket of a connection whose daemon went away; the backend notices,
// stops claiming to speak, and the next utterance goes to a new connection.
TEST(StalledDaemon, ADaemonThatDiesIsNoticedAndReplacedByTheNextConnection) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->speak("never ends", false));
  s.daemon.drop_connections();

  EXPECT_LT(time_until_silent(*s.engine), 2s + kBound);

  auto again = s.engine->speak("again", true);
  ASSERT_TRUE(again) << again.error().describe();
  EXPECT_EQ(s.daemon.connections(), 2);  // main and the new main
}

// A restarted speech stack: the connection died while nothing was spoken. The next request
// reconnects first instead of failing once on the dead connection.
TEST(StalledDaemon, TheFirstRequestAfterARestartReconnects) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  s.daemon.drop_connections();
  auto configured = s.engine->configure(std::nullopt, SupportedLanguage::English, 1.5f);
  EXPECT_TRUE(configured) << configured.error().describe();
  EXPECT_TRUE(s.engine->stop());
  EXPECT_TRUE(s.engine->speak("again", true));
}

TEST(StalledDaemon, DroppingTheEngineWithSpeechPendingIsBounded) {
  Stalling s;
  ASSERT_NO_FATAL_FAILURE(s.start());
  ASSERT_TRUE(s.engine->speak("pending", false));
  s.daemon.stall_on("CANCEL");
  auto started = Clock::now();
  s.engine.reset();
  EXPECT_LT(Clock::now() - started, kBound);
  std::optional<SpeechEvent> event;
  EXPECT_EQ(s.events->try_recv(event), TryRecv::Disconnected);
}

}  // namespace
}  // namespace mdspeak
