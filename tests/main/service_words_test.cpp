// Word events and pause/resume of the real binary on the real speech stack, with the null sink
// recorded where sound is the point.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "json_client.h"
#include "live_sound.h"

namespace mdspeak::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Client = JsonClient;

TEST(ServiceWordsTest, EveryWordBetweenBeginAndEndInOrderWithItsRanges) {
  // Two sentences: the word after a full stop is where marks get lost.
  const std::string text = "Every word of this plain text is reported. In order!";
  Client client;
  client.load(text);
  client.send({{"type", "speak"},
               {"id", "s"},
               {"document_id", "doc"},
               {"rate", 2.0},
               {"word_events", true}});
  EXPECT_EQ(client.next()["type"], "speak_result");
  json begin = client.next();
  ASSERT_EQ(begin["type"], "utterance_begin") << begin.dump();
  std::vector<json> words;
  json end = client.until("utterance_end", &words);
  ASSERT_EQ(end["type"], "utterance_end");
  const std::vector<std::string> expected = {"Every", "word", "of",        "this", "plain",
                                             "text",  "is",   "reported.", "In",   "order!"};
  ASSERT_EQ(words.size(), expected.size());
  std::size_t after_last = 0;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const json& w = words[i];
    EXPECT_EQ(w["type"], "utterance_word");
    EXPECT_EQ(w["text"], expected[i]);
    const std::size_t a = w["text_start"], b = w["text_end"];
    EXPECT_GE(a, after_last);
    after_last = b;
    EXPECT_EQ(begin["text"].get<std::string>().substr(a, b - a), expected[i]);
    // A plain word comes from exactly its own bytes of the source.
    const std::size_t s = w["start_offset"], e = w["end_offset"];
    EXPECT_EQ(text.substr(s, e - s), expected[i]);
  }
}

// A client that never uses the extensions gets exactly the lines it always got.
TEST(ServiceWordsTest, WithoutTheExtensionsTheLinesAreUnchanged) {
  Client client;
  client.load("Two words.");
  client.send({{"type", "speak"}, {"id", "s"}, {"document_id", "doc"}, {"rate", 2.0}});
  const std::vector<std::string> expected = {
      R"({"type":"speak_result","id":"s","document_id":"doc","queued":1})",
      R"({"type":"utterance_begin","document_id":"doc","utterance_index":0,"start_offset":0,)"
      R"("end_offset":10,"text":"Two words."})",
      R"({"type":"utterance_end","document_id":"doc","utterance_index":0,"start_offset":0,)"
      R"("end_offset":10,"text":"Two words."})",
  };
  client.process().close_stdin();
  for (const std::string& line : expected) EXPECT_EQ(client.process().read_line(), line);
  EXPECT_FALSE(client.process().read_line(3s).has_value());
  EXPECT_EQ(client.process().wait(), 0);
}

TEST(ServiceWordsTest, PauseSilencesAndResumeContinuesAtTheInterruptedWord) {
  SinkRecorder recorder;
  if (!start_recording(recorder)) GTEST_SKIP() << "needs scripts/speech-stack up";
  Client client;
  client.load("One two three four five six seven eight nine ten eleven twelve.\n\nDone.");
  client.send({{"type", "speak"},
               {"id", "s"},
               {"document_id", "doc"},
               {"rate", 1.5},
               {"word_events", true}});
  std::vector<json> seen;
  for (int words = 0; words < 4;) {
    json m = client.next();
    ASSERT_FALSE(m.is_null());
    if (m["type"] == "utterance_word") ++words;
    seen.push_back(m);
  }
  const auto paused_at = Clock::now();
  client.send({{"type", "pause"}, {"id", "p"}});
  json answer = client.until("pause_result", &seen);
  EXPECT_EQ(answer, json({{"type", "pause_result"}, {"id", "p"}, {"paused", true}}));
  json last_word;
  for (const json& m : seen) {
    EXPECT_NE(m["type"], "utterance_end");
    if (m["type"] == "utterance_word") last_word = m;
  }
  // Nothing more while paused, and the sink falls silent.
  EXPECT_FALSE(client.process().read_line(1200ms).has_value());
  auto quiet = recorder.quiet_from(paused_at, kAudible);
  ASSERT_TRUE(quiet.has_value());
  EXPECT_LT(*quiet - paused_at, 600ms);
  EXPECT_LT(recorder.rms_between(paused_at + 600ms, paused_at + 1200ms), kAudible);

  client.send({{"type", "resume"}, {"id", "r"}});
  EXPECT_EQ(client.next(),
            json({{"type", "resume_result"}, {"id", "r"}, {"resumed", true}, {"queued", 2}}));
  json begin = client.next();
  EXPECT_EQ(begin["type"], "utterance_begin");
  EXPECT_EQ(begin["utterance_index"], 0);
  json first = client.next();
  EXPECT_EQ(first, last_word);  // the interrupted word is heard again, whole
  EXPECT_EQ(client.until("utterance_end")["utterance_index"], 0);
  EXPECT_EQ(client.until("utterance_end")["utterance_index"], 1);
  EXPECT_GT(recorder.rms_between(paused_at + 1200ms, Clock::now()), kAudible);
}

// How long the rest of a paused utterance sounds when resumed at `rate`.
Clock::duration resumed_duration(double rate) {
  Client client;
  client.load("These same few words take some time to say.");
  client.send({{"type", "speak"}, {"id", "s"}, {"document_id", "doc"}, {"rate", 1.0}});
  client.until("utterance_begin");
  client.send({{"type", "pause"}, {"id", "p"}});
  client.until("pause_result");
  client.send({{"type", "resume"}, {"id", "r"}, {"rate", rate}});
  client.until("utterance_begin");
  const auto begin = Clock::now();
  client.until("utterance_end");
  return Clock::now() - begin;
}

TEST(ServiceWordsTest, ResumeAtAHigherRateIsShorter) {
  const auto normal = resumed_duration(1.0);
  const auto faster = resumed_duration(2.0);
  EXPECT_LT(faster * 10, normal * 8) << std::chrono::duration<double>(faster).count() << " s vs "
                                     << std::chrono::duration<double>(normal).count() << " s";
}

// The voice says the listed pronunciation (the utterance takes as long as the longer phrase) while
// the word events still report the word of the text and its source bytes.
TEST(ServiceWordsTest, APronunciationIsHeardWhileTheWordIsReported) {
  const std::string text = "Please restart nginx today.";
  Client client;
  client.load(text);
  const auto spoken = [&](json entries) {
    client.send({{"type", "set_pronunciations"}, {"id", "p"}, {"entries", entries}});
    EXPECT_EQ(client.next()["type"], "set_pronunciations_result");
    client.send({{"type", "speak"},
                 {"id", "s"},
                 {"document_id", "doc"},
                 {"rate", 1.5},
                 {"word_events", true}});
    EXPECT_EQ(client.next()["type"], "speak_result");
    EXPECT_EQ(client.next()["type"], "utterance_begin");
    const auto begun = Clock::now();
    std::vector<json> words;
    client.until("utterance_end", &words);
    const auto took = Clock::now() - begun;
    EXPECT_EQ(words.size(), 4u);
    for (const json& w : words) {
      if (w["text"] != "nginx") continue;
      const std::size_t s = w["start_offset"], e = w["end_offset"];
      EXPECT_EQ(text.substr(s, e - s), "nginx");
    }
    return took;
  };
  const auto as_written = spoken(json::array());
  const auto replaced = spoken(json::array(
      {{{"text", "nginx"}, {"say", "the very fast web server called engine x that all use"}}}));
  EXPECT_GT(replaced, as_written + 1s)
      << std::chrono::duration<double>(replaced).count() << " s vs "
      << std::chrono::duration<double>(as_written).count() << " s";
}

}  // namespace
}  // namespace mdspeak::testing
