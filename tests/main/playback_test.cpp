// The playback state machine alone, on the scripted fake synthesizer: its states after each
// request or event, and the stall clock after a resume.
#include "main/playback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/fake_engine.h"

namespace mdspeak {
namespace {

using State = SpeechPlayback::State;

// A playback over the fake, with the word list of a two-utterance document.
struct Rig {
  std::shared_ptr<FakeTts> fake;
  Receiver<SpeechEvent> events;
  SpeechPlayback playback;
  std::vector<Utterance> utterances;

  static Rig create(std::vector<Utterance> utterances) {
    FakeEngine rig;
    rig.fake->set_voices({kFixtureEnglish});
    EXPECT_TRUE(rig.start());
    return Rig{rig.fake, std::move(*rig.events), SpeechPlayback(std::move(rig.engine)),
               std::move(utterances)};
  }

  Result<std::uint64_t> speak(std::optional<std::uint64_t> start = std::nullopt) {
    SpeechOrder order;
    order.document_id = "doc";
    order.text = SpeechOrder::Text::Generated;
    order.utterances = utterances;
    order.start_offset = start;
    order.how.word_events = true;
    return playback.speak(order);
  }

  // Hands every event sent so far to the playback; the messages it made.
  std::vector<Message> take_events() {
    std::vector<Message> out;
    std::optional<SpeechEvent> event;
    while (events.try_recv(event) == TryRecv::Value) {
      if (auto message = playback.on_event(*event)) out.push_back(std::move(*message));
      event.reset();
    }
    return out;
  }
};

enum class Step {
  Speak,       // the whole list
  SpeakEmpty,  // a range past the end: nothing selected
  Pause,
  Resume,
  Stop,
  StopFails,  // the synthesizer refuses the stop
  Reload,     // the spoken document is replaced
  ReloadOther,
  FinishAll,  // the synthesizer says everything to the end
  Stall,      // an hour without progress or sign of life
  Silence,
};

// Runs `step`; whether it took effect (paused, resumed, gave up, stopped, selected something).
bool run(Rig& rig, Step step) {
  switch (step) {
    case Step::Speak:
      return rig.speak().value_or(0) > 0;
    case Step::SpeakEmpty:
      return rig.speak(1000).value_or(0) > 0;
    case Step::Pause:
      return rig.playback.pause().value_or(false);
    case Step::Resume:
      return rig.playback.resume(std::nullopt, std::nullopt).value_or(std::nullopt).has_value();
    case Step::Stop:
      return rig.playback.stop().has_value();
    case Step::StopFails:
      rig.fake->fail_nth(FakeOp::Stop, rig.fake->calls(FakeOp::Stop) + 1);
      return rig.playback.stop().has_value();
    case Step::Reload:
      rig.playback.drop_position_in("doc");
      return true;
    case Step::ReloadOther:
      rig.playback.drop_position_in("other");
      return true;
    case Step::FinishAll:
      for (;;) {
        const std::size_t finished = rig.fake->finish_all();
        if (rig.take_events().empty() && finished == 0) return true;
      }
    case Step::Stall:
      return rig.playback.give_up_if_stalled(std::chrono::steady_clock::now() +
                                             std::chrono::hours(1));
    case Step::Silence:
      rig.playback.silence();
      return true;
  }
  return false;
}

// A step, whether it takes effect, and the state it leaves.
struct Want {
  Step step;
  bool effect;
  State then;
};
struct Case {
  const char* name;
  std::vector<Want> steps;
};
// The transition table of playback.h, path by path.
const std::vector<Case> kTransitions = {
    {"pause then resume",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Resume, true, State::Speaking}}},
    {"pause then stop forgets the pause",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Stop, true, State::Idle},
      {Step::Resume, false, State::Idle}}},
    {"a stall while paused does not fire",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Stall, false, State::Paused},
      {Step::Resume, true, State::Speaking}}},
    {"resume after the document was reloaded is refused",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Reload, true, State::Idle},
      {Step::Resume, false, State::Idle}}},
    {"another document's reload keeps the pause",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::ReloadOther, true, State::Paused},
      {Step::Resume, true, State::Speaking}}},
    {"an empty selection drops the pause and leaves speech alone",
     {{Step::Speak, true, State::Speaking},
      {Step::SpeakEmpty, false, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::SpeakEmpty, false, State::Idle},
      {Step::Resume, false, State::Idle}}},
    {"a second pause keeps the pause",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Pause, false, State::Paused},
      {Step::Resume, true, State::Speaking}}},
    {"resume twice",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Resume, true, State::Speaking},
      {Step::Resume, false, State::Speaking}}},
    {"the end of the last utterance",
     {{Step::Speak, true, State::Speaking},
      {Step::FinishAll, true, State::Idle},
      {Step::Pause, false, State::Idle},
      {Step::Stall, false, State::Idle}}},
    {"a stall gives up like a stop",
     {{Step::Speak, true, State::Speaking},
      {Step::Stall, true, State::Idle},
      {Step::Resume, false, State::Idle}}},
    {"a refused stop leaves speech as it was",
     {{Step::Speak, true, State::Speaking}, {Step::StopFails, false, State::Speaking}}},
    {"a refused stop still drops the pause",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::StopFails, false, State::Idle}}},
    {"silence ends everything",
     {{Step::Speak, true, State::Speaking},
      {Step::Pause, true, State::Paused},
      {Step::Silence, true, State::Idle}}},
    {"nothing to pause, resume or give up on",
     {{Step::Pause, false, State::Idle},
      {Step::Resume, false, State::Idle},
      {Step::Stall, false, State::Idle}}},
};

TEST(SpeechPlayback, EachStepMovesAsTheTransitionTableSays) {
  for (const Case& c : kTransitions) {
    SCOPED_TRACE(c.name);
    Rig rig = Rig::create({{"One two three.", 0, 14, UtteranceKind::Paragraph},
                           {"Four five.", 16, 26, UtteranceKind::Paragraph}});
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(run(rig, c.steps[i].step), c.steps[i].effect);
      EXPECT_EQ(rig.playback.state(), c.steps[i].then);
      EXPECT_EQ(rig.playback.paused(), c.steps[i].then == State::Paused);
      // Paused or idle, the synthesizer holds nothing of ours.
      if (c.steps[i].then != State::Speaking) {
        EXPECT_TRUE(rig.playback.spoken().empty());
      }
    }
  }
}

// Speech given up on is reported once, after a stall only: a pause, a stop or a resume reports
// nothing, and a new speak forgets a failure not yet reported.
TEST(SpeechPlayback, OnlyAStallLeavesAFailureToReport) {
  for (bool speak_again : {false, true}) {
    Rig rig = Rig::create({{"One two three.", 0, 14, UtteranceKind::Paragraph}});
    run(rig, Step::Speak);
    run(rig, Step::Pause);
    run(rig, Step::Resume);
    EXPECT_FALSE(rig.playback.take_failure());
    ASSERT_TRUE(run(rig, Step::Stall));
    if (speak_again) run(rig, Step::Speak);
    EXPECT_EQ(rig.playback.take_failure().has_value(), !speak_again);
    EXPECT_FALSE(rig.playback.take_failure());
  }
}

// A resumed utterance is due to say only what was left at the pause: the stall clock counts
// from the paused word, not from the start of its text.
TEST(SpeechPlayback, TheClockAfterAResumeCountsFromThePausedWord) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "word ";
  text += "end.";
  Rig rig = Rig::create({{text, 0, text.size(), UtteranceKind::Paragraph}});
  ASSERT_EQ(*rig.speak(), 1u);
  rig.fake->begin_next();
  for (int i = 0; i < 200; ++i) rig.fake->next_word();
  rig.take_events();
  ASSERT_TRUE(*rig.playback.pause());
  ASSERT_TRUE(rig.playback.resume(std::nullopt, std::nullopt).value_or(std::nullopt));
  const auto now = std::chrono::steady_clock::now();
  // One word left: seconds, where the whole text would take minutes.
  EXPECT_FALSE(rig.playback.give_up_if_stalled(now + std::chrono::seconds(3)));
  EXPECT_TRUE(rig.playback.give_up_if_stalled(now + std::chrono::seconds(30)));
}

}  // namespace
}  // namespace mdspeak
