// The parts of the speech-dispatcher backend that need no daemon.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "speech/speechd_events.h"
#include "speech/speechd_ssip.h"

namespace mdspeak::speechd {
namespace {

TEST(SpeechdSsml, MarksBeforeEachWordAndEscapedText) {
  const std::string text = "a<b & \"c\"\x01 it's";
  const std::vector<WordMark> words = {{0, 3}, {6, 9}, {11, 15}};
  EXPECT_EQ(ssml(text, words),
            "<speak><mark name=\"0\"/>a&lt;b &amp; <mark name=\"1\"/>&quot;c&quot;  "
            "<mark name=\"2\"/>it&apos;s</speak>");
  EXPECT_EQ(ssml("x y", {}), "<speak>x y</speak>");
  // Sentences followed by more words are elements of their own, or espeak-ng drops the mark
  // after a full stop; the last one stays bare.
  const std::vector<WordMark> sentences = {{0, 3}, {4, 7}, {8, 13}, {14, 21}, {22, 28}};
  EXPECT_EQ(ssml("Hi. Dr. Smith (came!) now\xE2\x80\xA6", sentences),
            "<speak><s><mark name=\"0\"/>Hi.</s> <s><mark name=\"1\"/>Dr.</s> "
            "<s><mark name=\"2\"/>Smith <mark name=\"3\"/>(came!)</s> "
            "<mark name=\"4\"/>now\xE2\x80\xA6</speak>");
  // Ranges that overlap, run backwards or leave the text are skipped, never read out of bounds.
  const std::vector<WordMark> bad = {{2, 9}, {2, 1}, {0, 3}, {1, 2}};
  EXPECT_EQ(ssml("x y", bad), "<speak><mark name=\"2\"/>x y</speak>");
  for (const auto& [name, word] : std::vector<std::pair<std::string, std::optional<std::size_t>>>{
           {"0", 0},
           {"17", 17},
           {"", std::nullopt},
           {"__spd_1", std::nullopt},
           {"1a", std::nullopt},
           {"9999999999999999999999", std::nullopt}}) {
    EXPECT_EQ(mark_word(name), word) << name;
  }
}

TEST(SpeechdIds, TextFormNamesTheMessage) {
  EXPECT_EQ(utterance_id(42).text(), "SpeechDispatcher(42)");
  EXPECT_NE(utterance_id(1).text(), utterance_id(11).text());
}

TEST(SpeechdVoices, OnlyPlainVariantsAreVoices) {
  std::vector<ListedVoice> listing{
      {"English (America)", "en-US", "none"},
      {"English (America)+Klatt", "en-US", "Klatt"},
      {"Spanish (Latin America)", "es-419", "none"},
      {"Spanish (Latin America)+Andrea", "es-419", "Andrea"},
      {"French (France)", "fr-FR", "none"},
  };
  std::vector<Voice> expected{
      {"English (America)", "English (America)", std::nullopt, "en-US"},
      {"Spanish (Latin America)", "Spanish (Latin America)", std::nullopt, "es-419"},
      {"French (France)", "French (France)", std::nullopt, "fr-FR"},
  };
  EXPECT_EQ(plain_voices(listing), expected);
  EXPECT_TRUE(plain_voices({}).empty());
}

struct ReplyCase {
  const char* name;
  std::vector<std::string> chunks;
  bool complete;
  bool ok;
  std::vector<std::string> data;
  std::string final_line;
};

class Reply : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(Reply, CollectsDataLinesUpToTheFinalLine) {
  const ReplyCase& c = GetParam();
  SsipReply reply;
  bool done = false;
  for (const std::string& chunk : c.chunks) done = reply.feed(chunk);
  EXPECT_EQ(done, c.complete);
  EXPECT_EQ(reply.complete(), c.complete);
  EXPECT_EQ(reply.ok(), c.ok);
  EXPECT_EQ(reply.data(), c.data);
  EXPECT_EQ(reply.final_line(), c.final_line);
}

INSTANTIATE_TEST_SUITE_P(
    Ssip, Reply,
    ::testing::Values(
        ReplyCase{
            "Simple", {"208 OK CLIENT NAME SET\r\n"}, true, true, {}, "208 OK CLIENT NAME SET"},
        ReplyCase{"VoiceList",
                  {"249-English (America)\ten-US\tnone\r\n249-Spanish (Spain)\tes\tnone\r\n",
                   "249 OK VOICE LIST SENT\r\n"},
                  true,
                  true,
                  {"English (America)\ten-US\tnone", "Spanish (Spain)\tes\tnone"},
                  "249 OK VOICE LIST SENT"},
        // Lines split anywhere between reads.
        ReplyCase{"SplitAcrossReads",
                  {"24", "9-Eng", "lish\ten\tnone\r", "\n249 OK", " VOICE LIST SENT\r\n"},
                  true,
                  true,
                  {"English\ten\tnone"},
                  "249 OK VOICE LIST SENT"},
        ReplyCase{"Incomplete",
                  {"249-English\ten\tnone\r\n249 OK"},
                  false,
                  false,
                  {"English\ten\tnone"},
                  ""},
        ReplyCase{"Error", {"409 ERR RATE TOO HIGH\r\n"}, true, false, {}, "409 ERR RATE TOO HIGH"},
        ReplyCase{"NotSsip", {"hello\r\n"}, true, false, {}, "?hello"},
        // Nothing after the final line belongs to this reply.
        ReplyCase{"StopsAtTheFinalLine", {"200 OK\r\n201-late\r\n"}, true, true, {}, "200 OK"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpeechdVoices, DataLinesSplitAtTabs) {
  auto full = listed_voice("English (America)+Klatt\ten-US\tKlatt");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->name, "English (America)+Klatt");
  EXPECT_EQ(full->language, "en-US");
  EXPECT_EQ(full->variant, "Klatt");

  auto no_variant = listed_voice("Old\ten");
  ASSERT_TRUE(no_variant);
  EXPECT_EQ(no_variant->language, "en");
  EXPECT_EQ(no_variant->variant, "");

  EXPECT_FALSE(listed_voice("no tabs at all"));
  EXPECT_FALSE(listed_voice("\ten\tnone"));
}

// A script of what the backend and the daemon do: "q5" spd_say returned 5; "B5", "E5", "C5"
// the daemon notified begin, end, cancel of 5; "W5" an index mark of 5 (word 0); "stop" everything
// was cancelled by us; "reset" a new connection.
struct TrackerCase {
  const char* name;
  std::vector<std::string> steps;
  std::vector<std::string> delivered;
  bool speaking;
};

class Tracker : public ::testing::TestWithParam<TrackerCase> {};

TEST_P(Tracker, DeliversOnlyWhatTheHostMustSee) {
  const TrackerCase& c = GetParam();
  EventTracker tracker;
  std::vector<std::string> delivered;
  tracker.set_begin([&](const UtteranceId& id) { delivered.push_back("B " + id.text()); });
  tracker.set_end([&](const UtteranceId& id) { delivered.push_back("E " + id.text()); });
  tracker.set_word(
      [&](const UtteranceId& id, std::size_t) { delivered.push_back("W " + id.text()); });

  for (const std::string& step : c.steps) {
    if (step == "stop") {
      tracker.cancel_all();
    } else if (step == "reset") {
      tracker.reset();
    } else {
      std::size_t id = std::stoul(step.substr(1));
      switch (step[0]) {
        case 'q':
          tracker.queued(id);
          break;
        case 'B':
          tracker.notify(id, EventTracker::Kind::Begin);
          break;
        case 'E':
          tracker.notify(id, EventTracker::Kind::End);
          break;
        case 'C':
          tracker.notify(id, EventTracker::Kind::Cancel);
          break;
        case 'W':
          tracker.notify_word(id, 0);
          break;
        default:
          FAIL() << "bad step " << step;
      }
    }
  }
  std::vector<std::string> expected;
  for (const std::string& d : c.delivered) {
    expected.push_back(d.substr(0, 2) + "SpeechDispatcher(" + d.substr(2) + ")");
  }
  EXPECT_EQ(delivered, expected);
  EXPECT_EQ(tracker.speaking(), c.speaking);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, Tracker,
    ::testing::Values(
        TrackerCase{
            "InOrder", {"q2", "q3", "B2", "E2", "B3", "E3"}, {"B 2", "E 2", "B 3", "E 3"}, false},
        TrackerCase{
            "PendingUntilTheLastEnd", {"q2", "q3", "B2", "E2", "B3"}, {"B 2", "E 2", "B 3"}, true},
        // The daemon may report a message before spd_say has returned its id.
        TrackerCase{"BeginAndEndBeforeTheIdIsKnown", {"B5", "E5", "q5"}, {"B 5", "E 5"}, false},
        TrackerCase{"BeginBeforeTheIdIsKnown", {"B5", "q5"}, {"B 5"}, true},
        TrackerCase{"CancelBeforeTheIdIsKnown", {"C5", "q5"}, {}, false},
        TrackerCase{
            "CancelNotificationsAreNotForwarded", {"q2", "q3", "B2", "C2", "C3"}, {"B 2"}, false},
        // Stopped by us: whatever the daemon still says about those messages is dropped.
        TrackerCase{
            "LateEndAfterStop", {"q2", "q3", "B2", "stop", "E2", "B3", "E3"}, {"B 2"}, false},
        TrackerCase{"NewSpeechAfterStop",
                    {"q2", "B2", "stop", "B3", "q3", "E3"},
                    {"B 2", "B 3", "E 3"},
                    false},
        // A restarted daemon numbers messages from 1 again.
        TrackerCase{"NewConnectionToARestartedDaemon",
                    {"q7", "B7", "reset", "B1", "q1", "E1"},
                    {"B 7", "B 1", "E 1"},
                    false},
        TrackerCase{"ResetForgetsPending", {"q7", "q8", "reset"}, {}, false},
        // Marks count only while their utterance is being heard: none before its begin, after
        // its end or after a stop (the daemon keeps marking for a while after a cancel).
        TrackerCase{"WordsOnlyOfTheUtteranceBeingHeard",
                    {"q2", "q3", "W2", "B2", "W2", "W3", "E2", "W2", "B3", "W3", "stop", "W3"},
                    {"B 2", "W 2", "E 2", "B 3", "W 3"},
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tracker, CloseReleasesTheCallbacksAndDeliversNothingMore) {
  EventTracker tracker;
  auto owned = std::make_shared<int>(0);
  int calls = 0;
  tracker.set_begin([owned, &calls](const UtteranceId&) { ++calls; });
  tracker.queued(1);
  tracker.notify(1, EventTracker::Kind::Begin);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(owned.use_count(), 2);

  tracker.close();
  EXPECT_EQ(owned.use_count(), 1);
  tracker.queued(2);
  tracker.notify(2, EventTracker::Kind::Begin);
  EXPECT_EQ(calls, 1);
}

// Pending utterances of which none has begun count as stalled once the daemon has been quiet
// long enough; one that has begun may simply be long.
TEST(TrackerStall, OnlyWhenNothingPendingHasBegun) {
  using namespace std::chrono_literals;
  EventTracker tracker;
  EXPECT_FALSE(tracker.stalled(0s));  // nothing pending
  tracker.queued(1);
  tracker.queued(2);
  EXPECT_TRUE(tracker.stalled(0s));
  EXPECT_FALSE(tracker.stalled(1h));  // not quiet long enough
  tracker.notify(1, EventTracker::Kind::Begin);
  EXPECT_FALSE(tracker.stalled(0s));  // 1 is being spoken
  tracker.notify(1, EventTracker::Kind::End);
  EXPECT_TRUE(tracker.stalled(0s));  // 2 never began
  tracker.notify(2, EventTracker::Kind::Begin);
  tracker.notify(2, EventTracker::Kind::Cancel);
  EXPECT_FALSE(tracker.stalled(0s));  // nothing pending any more
  EXPECT_FALSE(tracker.speaking());
}

}  // namespace
}  // namespace mdspeak::speechd
