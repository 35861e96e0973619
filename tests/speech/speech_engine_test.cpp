#include "speech/speech_engine.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fake_engine.h"

namespace mdspeak {
namespace {

// "B:Fake(1)" / "E:Fake(1)", in the order the receiver got them.
std::vector<std::string> drain(Receiver<SpeechEvent>& events) {
  std::vector<std::string> seen;
  std::optional<SpeechEvent> event;
  while (events.try_recv(event) == TryRecv::Value) {
    seen.push_back((event->kind == SpeechEventKind::UtteranceBegin ? "B:" : "E:") +
                   event->id.text());
    event.reset();
  }
  return seen;
}

std::string id_text(const Result<std::optional<UtteranceId>>& id) {
  if (!id || !id->has_value()) return "<none>";
  return (*id)->text();
}

class ThreeUtterances : public ::testing::TestWithParam<bool> {};

TEST_P(ThreeUtterances, BeginAndEndArriveInQueueOrderWithTheReturnedIds) {
  FakeEngine rig;
  rig.fake->deliver_on_other_thread(GetParam());
  ASSERT_TRUE(rig.start());

  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    auto id = rig.engine->speak("utterance " + std::to_string(i), i == 0);
    ASSERT_TRUE(id);
    ids.push_back(id_text(id));
  }
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_NE(ids[1], ids[2]);
  EXPECT_NE(ids[0], ids[2]);

  EXPECT_EQ(rig.fake->finish_all(), 3u);
  EXPECT_EQ(drain(*rig.events),
            (std::vector<std::string>{"B:" + ids[0], "E:" + ids[0], "B:" + ids[1], "E:" + ids[1],
                                      "B:" + ids[2], "E:" + ids[2]}));
}

INSTANTIATE_TEST_SUITE_P(CallbackThread, ThreeUtterances, ::testing::Bool());

TEST(SpeechEngine, StopDuringSecondUtteranceEndsItWithoutEventAndDropsTheThird) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  auto first = rig.engine->speak("one", true);
  auto second = rig.engine->speak("two", false);
  ASSERT_TRUE(rig.engine->speak("three", false));

  rig.fake->begin_next();
  rig.fake->end_current();
  rig.fake->begin_next();
  ASSERT_TRUE(rig.engine->stop());
  EXPECT_EQ(rig.fake->finish_all(), 0u);

  EXPECT_EQ(drain(*rig.events),
            (std::vector<std::string>{"B:" + id_text(first), "E:" + id_text(first),
                                      "B:" + id_text(second)}));
  auto speaking = rig.engine->is_speaking();
  ASSERT_TRUE(speaking);
  EXPECT_FALSE(*speaking);
}

TEST(SpeechEngine, SpeakWithInterruptCancelsWhatWasQueued) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(rig.engine->speak("one", true));
  ASSERT_TRUE(rig.engine->speak("two", false));
  auto third = rig.engine->speak("three", true);

  rig.fake->finish_all();
  EXPECT_EQ(drain(*rig.events),
            (std::vector<std::string>{"B:" + id_text(third), "E:" + id_text(third)}));
}

TEST(SpeechEngine, StopWithNothingSpokenSucceeds) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  EXPECT_TRUE(rig.engine->stop());
  EXPECT_EQ(rig.fake->calls(FakeOp::Stop), 1);
}

TEST(SpeechEngine, IsSpeakingFollowsTheQueue) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  EXPECT_FALSE(*rig.engine->is_speaking());
  ASSERT_TRUE(rig.engine->speak("one", true));
  EXPECT_TRUE(*rig.engine->is_speaking());
  rig.fake->begin_next();
  EXPECT_TRUE(*rig.engine->is_speaking());
  rig.fake->end_current();
  EXPECT_FALSE(*rig.engine->is_speaking());
}

TEST(SpeechEngine, IsSpeakingWithoutTheFeatureAnswersFalseWithoutAsking) {
  FakeEngine rig;
  Features features;
  features.utterance_callbacks = true;
  features.stop = true;
  features.is_speaking = false;
  rig.fake->set_features(features);
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(rig.engine->speak("still queued", true));

  auto speaking = rig.engine->is_speaking();
  ASSERT_TRUE(speaking);
  EXPECT_FALSE(*speaking);
  EXPECT_EQ(rig.fake->calls(FakeOp::IsSpeaking), 0);
}

TEST(SpeechEngine, FeaturesArePassedThrough) {
  FakeEngine rig;
  Features features;
  features.utterance_callbacks = true;
  features.volume = true;
  rig.fake->set_features(features);
  ASSERT_TRUE(rig.start());
  EXPECT_EQ(rig.engine->features(), features);
}

TEST(SpeechEngine, SpeakWithoutIdFromTheFacadeReturnsNone) {
  FakeEngine rig;
  rig.fake->set_return_ids(false);
  ASSERT_TRUE(rig.start());
  auto id = rig.engine->speak("one", true);
  ASSERT_TRUE(id);
  EXPECT_FALSE(id->has_value());
}

struct CreationFailure {
  const char* name;
  void (*script)(FakeTts&);
  const char* message;
  const char* cause;
};

class EngineCreationFails : public ::testing::TestWithParam<CreationFailure> {};

TEST_P(EngineCreationFails, WithItsContextAndLeavesNoSenderAlive) {
  const CreationFailure& c = GetParam();
  FakeEngine rig;
  c.script(*rig.fake);
  auto started = rig.start();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().message, c.message);
  ASSERT_NE(started.error().cause, nullptr);
  EXPECT_EQ(started.error().cause->message, c.cause);

  EXPECT_FALSE(rig.fake->facade_alive());
  std::optional<SpeechEvent> event;
  EXPECT_EQ(rig.events->try_recv(event), TryRecv::Disconnected);
}

INSTANTIATE_TEST_SUITE_P(
    Facade, EngineCreationFails,
    ::testing::Values(
        CreationFailure{"NoUtteranceCallbacks",
                        [](FakeTts& fake) {
                          Features features;
                          features.is_speaking = features.stop = features.voice = true;
                          fake.set_features(features);
                        },
                        "failed to install utterance begin callback", "Unsupported feature"},
        CreationFailure{
            "BeginRefused",
            [](FakeTts& fake) { fake.fail_always(FakeOp::OnBegin, "Operation failed"); },
            "failed to install utterance begin callback", "Operation failed"},
        // The begin callback was installed and holds a sender: it must go with the facade.
        CreationFailure{
            "EndRefused",
            [](FakeTts& fake) { fake.fail_always(FakeOp::OnEnd, "Value not received"); },
            "failed to install utterance end callback", "Value not received"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpeechEngine, NoFacadeIsAnInitializationFailure) {
  auto [sender, receiver] = make_channel<SpeechEvent>();
  auto created = SpeechEngine::create(std::unique_ptr<Tts>(), std::move(sender));
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().message, "failed to initialize system TTS");
  std::optional<SpeechEvent> event;
  EXPECT_EQ(receiver.try_recv(event), TryRecv::Disconnected);
}

TEST(SpeechEngine, DroppingTheEngineDisconnectsTheChannel) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  std::optional<SpeechEvent> event;
  EXPECT_EQ(rig.events->try_recv(event), TryRecv::Empty);
  rig.engine.reset();
  EXPECT_FALSE(rig.fake->facade_alive());
  EXPECT_EQ(rig.events->try_recv(event), TryRecv::Disconnected);
}

TEST(SpeechEngine, EventsAfterTheReceiverIsGoneAreDropped) {
  FakeEngine rig;
  ASSERT_TRUE(rig.start());
  ASSERT_TRUE(rig.engine->speak("one", true));
  rig.events.reset();
  EXPECT_EQ(rig.fake->finish_all(), 1u);
  EXPECT_FALSE(*rig.engine->is_speaking());
}

struct OperationFailure {
  const char* name;
  FakeOp op;
  const char* message;
  Error (*run)(SpeechEngine&);
};

class EngineOperationFails : public ::testing::TestWithParam<OperationFailure> {};

TEST_P(EngineOperationFails, WithItsContextAndTheEngineStaysUsable) {
  const OperationFailure& c = GetParam();
  FakeEngine rig;
  rig.fake->fail_nth(c.op, 1, "IO error: broken");
  ASSERT_TRUE(rig.start());

  Error error = c.run(*rig.engine);
  EXPECT_EQ(error.message, c.message);
  ASSERT_NE(error.cause, nullptr);
  EXPECT_EQ(error.cause->message, "IO error: broken");
  EXPECT_EQ(error.describe(), std::string(c.message) + ": IO error: broken");

  // Only the first call was scripted to fail.
  EXPECT_EQ(c.run(*rig.engine).message, "no error");
}

Error error_of(const auto& result) {
  return result ? Error("no error") : result.error();
}

INSTANTIATE_TEST_SUITE_P(
    Facade, EngineOperationFails,
    ::testing::Values(
        OperationFailure{"Speak", FakeOp::Speak, "failed to queue speech",
                         [](SpeechEngine& e) { return error_of(e.speak("x", false)); }},
        OperationFailure{"Stop", FakeOp::Stop, "failed to stop speech",
                         [](SpeechEngine& e) { return error_of(e.stop()); }},
        OperationFailure{"IsSpeaking", FakeOp::IsSpeaking, "failed to query speaking state",
                         [](SpeechEngine& e) { return error_of(e.is_speaking()); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FeatureText, NamesEveryFlagInOrder) {
  Features all_but_get_voice{true, true, true, true, true, true, false, true};
  EXPECT_EQ(feature_text(all_but_get_voice),
            "Features { is_speaking: true, pitch: true, rate: true, stop: true, "
            "utterance_callbacks: true, voice: true, get_voice: false, volume: true }");
  Features only_get_voice;
  only_get_voice.get_voice = true;
  EXPECT_EQ(feature_text(only_get_voice),
            "Features { is_speaking: false, pitch: false, rate: false, stop: false, "
            "utterance_callbacks: false, voice: false, get_voice: true, volume: false }");
}

}  // namespace
}  // namespace mdspeak
