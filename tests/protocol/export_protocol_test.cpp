// The export extension on the wire: the request in both forms, and its two messages.
#include <gtest/gtest.h>

#include "protocol/protocol.h"

namespace mdspeak {
namespace {

TEST(ExportProtocol, DecodesObjectAndArrayFormsWithOptionalMembers) {
  Export full{"1", "d", "/o/b.opus", "opus", 3, 9, true, "v", 1.5f, "/o/b.vtt", 3, true};
  Export minimal{"1", "d", "/o/b.opus", {}, {}, {}, false, {}, {}, {}, {}, false};
  struct Case {
    std::string line;
    Export expected;
  };
  const Case cases[] = {
      {R"({"type":"export","id":"1","document_id":"d","path":"/o/b.opus","format":"opus",)"
       R"("start_offset":3,"end_offset":9,"summary":true,"voice_id":"v","rate":1.5,)"
       R"("transcript":"/o/b.vtt","chapter_level":3,"transcript_words":true})",
       full},
      {R"(["export","1","d","/o/b.opus","opus",3,9,true,"v",1.5,"/o/b.vtt",3,true])", full},
      {R"({"type":"export","id":"1","document_id":"d","path":"/o/b.opus"})", minimal},
      {R"({"type":"export","id":"1","document_id":"d","path":"/o/b.opus","format":null,)"
       R"("start_offset":null,"end_offset":null,"summary":false,"voice_id":null,"rate":null,)"
       R"("transcript":null,"chapter_level":null,"transcript_words":null})",
       minimal},
      {R"(["export","1","d","/o/b.opus"])", minimal},
      {R"(["export","1","d","/o/b.opus",null,null,null,false])", minimal},
  };
  for (const Case& c : cases) {
    auto decoded = decode_request(c.line);
    ASSERT_TRUE(decoded) << c.line << ": " << decoded.error().message;
    EXPECT_EQ(*decoded, Request(c.expected)) << c.line;
  }
  for (const char* line : {
           R"({"type":"export","id":"1","document_id":"d"})",
           R"({"type":"export","id":"1","document_id":"d","path":null})",
           R"(["export","1","d"])",
           R"({"type":"export","id":"1","document_id":"d","path":"/b","summary":1})",
           R"({"type":"export","id":"1","document_id":"d","path":"/b","chapter_level":-1})",
           R"({"type":"export","id":"1","document_id":"d","path":"/b","rate":"fast"})",
           R"(["export","1","d","/b",null,null,null,false,null,1,null,2,false,"extra"])",
       }) {
    EXPECT_FALSE(decode_request(line)) << line;
  }
}

TEST(ExportProtocol, EncodesProgressAndResult) {
  std::string out;
  encode_message(ExportProgress{"7", 3, 10, 4500}, out);
  EXPECT_EQ(out, R"({"type":"export_progress","id":"7","done":3,"total":10,"audio_ms":4500})");
  out.clear();
  encode_message(ExportResult{"7", "/o/b.m4b", "m4b", std::nullopt, 61000, 4, 900, true}, out);
  EXPECT_EQ(out,
            R"({"type":"export_result","id":"7","path":"/o/b.m4b","format":"m4b",)"
            R"("transcript":null,"duration_ms":61000,"chapters":4,"words":900,"cancelled":true})");
}

}  // namespace
}  // namespace mdspeak
