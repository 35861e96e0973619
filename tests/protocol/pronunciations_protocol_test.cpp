// The pronunciation list on the wire: the request in both forms, and its answer.
#include <gtest/gtest.h>

#include "protocol/protocol.h"

namespace mdspeak {
namespace {

TEST(PronunciationsProtocol, DecodesEntriesInBothForms) {
  const SetPronunciations two{"1",
                              {{"nginx", "engine x", "en"}, {"Guía\n", "gui \"a\"", std::nullopt}}};
  struct Case {
    std::string line;
    SetPronunciations expected;
  };
  const Case cases[] = {
      {R"({"type":"set_pronunciations","id":"1","entries":[{"text":"nginx","say":"engine x",)"
       R"("language":"en"},{"say":"gui \"a\"","text":"Gu\u00eda\n","language":null,"x":[1]}]})",
       two},
      {R"(["set_pronunciations","1",[{"text":"nginx","say":"engine x","language":"en"},)"
       R"({"text":"Guía\n","say":"gui \"a\""}]])",
       two},
      {R"({"type":"set_pronunciations","id":"1","entries":[ ]})", {"1", {}}},
      // Values the host refuses still decode, so that they get an answer.
      {R"({"type":"set_pronunciations","id":"1","entries":[{"text":"","say":"","language":"fr"}]})",
       {"1", {{"", "", "fr"}}}},
  };
  for (const Case& c : cases) {
    auto decoded = decode_request(c.line);
    ASSERT_TRUE(decoded) << c.line << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, Request(c.expected)) << c.line;
  }
  for (
      const char* line : {
          R"({"type":"set_pronunciations","id":"1"})",
          R"({"type":"set_pronunciations","id":"1","entries":null})",
          R"({"type":"set_pronunciations","id":"1","entries":{}})",
          R"({"type":"set_pronunciations","id":"1","entries":[{"text":"a"}]})",
          R"({"type":"set_pronunciations","id":"1","entries":[{"text":1,"say":"b"}]})",
          R"({"type":"set_pronunciations","id":"1","entries":[{"text":"a","say":"b","language":2}]})",
          R"({"type":"set_pronunciations","id":"1","entries":[{"text":"a","text":"a","say":"b"}]})",
          R"({"type":"set_pronunciations","id":"1","entries":["a"]})",
          R"({"type":"set_pronunciations","id":"1","entries":[{"text":"a","say":"b"},]})",
          R"(["set_pronunciations","1"])",
      }) {
    EXPECT_FALSE(decode_request(line)) << line;
  }
}

TEST(PronunciationsProtocol, EncodesTheCount) {
  std::string out;
  encode_message(SetPronunciationsResult{"9", 10000}, out);
  EXPECT_EQ(out, R"({"type":"set_pronunciations_result","id":"9","count":10000})");
}

}  // namespace
}  // namespace mdspeak
