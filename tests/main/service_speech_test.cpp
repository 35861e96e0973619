// The real binary on the real speech stack, as a client uses it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "json_client.h"

namespace mdspeak::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

const std::string kDocument =
    "# Speech test\n\nThe first paragraph is short.\n\n- One item\n- Another item\n\n"
    "A closing paragraph ends the document.\n";

using Client = JsonClient;

json prepared_entry(const json& utterance, const std::string& type) {
  return json{{"type", type},
              {"document_id", "doc"},
              {"utterance_index", utterance["utterance_index"]},
              {"start_offset", utterance["start_offset"]},
              {"end_offset", utterance["end_offset"]},
              {"text", utterance["text"]}};
}

TEST(ServiceSpeechTest, InitAndVoices) {
  Client client;
  json init = client.answer({{"type", "init"}, {"id", "1"}});
  EXPECT_EQ(init["available"], true) << init.dump();
  EXPECT_EQ(init["backend"],
            "system-tts (Features { is_speaking: true, pitch: true, rate: true, stop: true, "
            "utterance_callbacks: true, voice: true, get_voice: false, volume: true })");
  json voices = client.answer({{"type", "list_voices"}, {"id", "2"}});
  ASSERT_EQ(voices["type"], "list_voices_result") << voices.dump();
  bool english = false, spanish = false;
  for (const json& v : voices["voices"]) {
    std::string locale = v["locale"];
    english |= locale.rfind("en", 0) == 0;
    spanish |= locale.rfind("es", 0) == 0;
  }
  EXPECT_TRUE(english && spanish) << voices.dump();
}

TEST(ServiceSpeechTest, SpeakReportsEachPreparedUtteranceThenDrainsOnClose) {
  Client client;
  EXPECT_EQ(client.answer({{"type", "load_document"},
                           {"id", "1"},
                           {"document_id", "doc"},
                           {"text", kDocument}})["utterance_count"],
            5);
  json prepared = client.answer(
      {{"type", "prepare_speech"}, {"id", "2"}, {"document_id", "doc"}, {"start_offset", 14}});
  ASSERT_EQ(prepared["utterances"].size(), 4u) << prepared.dump();
  EXPECT_EQ(prepared["language_code"], "en");
  json spoken = client.answer({{"type", "speak"},
                               {"id", "3"},
                               {"document_id", "doc"},
                               {"start_offset", 14},
                               {"rate", 2.0}});
  EXPECT_EQ(spoken,
            json({{"type", "speak_result"}, {"id", "3"}, {"document_id", "doc"}, {"queued", 4}}));
  // Input closes while speech runs: every event still arrives, then exit 0.
  client.process().close_stdin();
  for (const json& u : prepared["utterances"]) {
    EXPECT_EQ(client.next(), prepared_entry(u, "utterance_begin"));
    EXPECT_EQ(client.next(), prepared_entry(u, "utterance_end"));
  }
  EXPECT_FALSE(client.process().read_line(5s).has_value());
  EXPECT_EQ(client.process().wait(), 0);
}

TEST(ServiceSpeechTest, StopAndRestart) {
  Client client;
  client.answer(
      {{"type", "load_document"}, {"id", "1"}, {"document_id", "doc"}, {"text", kDocument}});
  json first =
      client.answer({{"type", "speak"}, {"id", "2"}, {"document_id", "doc"}, {"rate", 1.0}});
  EXPECT_EQ(first["queued"], 5);
  json begin = client.next();
  EXPECT_EQ(begin["type"], "utterance_begin");
  EXPECT_EQ(begin["utterance_index"], 0);
  client.send({{"type", "stop"}, {"id", "3"}});
  // The first utterance may have finished just before the stop was handled.
  json answer = client.next();
  if (answer["type"] == "utterance_end") answer = client.next();
  EXPECT_EQ(answer, json({{"type", "stop_result"}, {"id", "3"}}));
  EXPECT_FALSE(client.process().read_line(1500ms).has_value()) << "events after stop";

  // A second speak numbers its utterances from 0 again.
  json summary = client.answer({{"type", "prepare_summary"}, {"id", "4"}, {"document_id", "doc"}});
  ASSERT_FALSE(summary["utterances"].empty());
  json second = client.answer(
      {{"type", "speak_summary"}, {"id", "5"}, {"document_id", "doc"}, {"rate", 2.0}});
  ASSERT_EQ(second["type"], "speak_result") << second.dump();
  json event = client.next();
  EXPECT_EQ(event, prepared_entry(summary["utterances"][0], "utterance_begin"));
}

}  // namespace
}  // namespace mdspeak::testing
