#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "protocol/json_scanner.h"
#include "protocol/protocol.h"

namespace mdspeak {
namespace {

using namespace std::string_literals;

struct Accepted {
  std::string line;
  Request expected;
};

void expect_decodes(const std::vector<Accepted>& cases) {
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.line);
    auto decoded = decode_request(c.line);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    EXPECT_EQ(*decoded, c.expected);
  }
}

void expect_rejects(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    EXPECT_FALSE(decode_request(line).has_value());
  }
}

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(DecodeRequest, ObjectFormOfEveryType) {
  expect_decodes({
      {R"({"type":"init","id":"1"})", Init{"1"}},
      {R"({"type":"list_voices","id":""})", ListVoices{""}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"# Hi"})",
       LoadDocument{"a", "d", "# Hi"}},
      {R"({"type":"prepare_speech","id":"a","document_id":"d","start_offset":3,"end_offset":9})",
       PrepareSpeech{"a", "d", 3, 9}},
      {R"({"type":"prepare_speech","id":"a","document_id":"d"})",
       PrepareSpeech{"a", "d", std::nullopt, std::nullopt}},
      {R"({"type":"prepare_summary","id":"a","document_id":"d"})", PrepareSummary{"a", "d"}},
      {R"({"type":"speak","id":"a","document_id":"d","start_offset":0,"end_offset":5,)"
       R"("voice_id":"v1","rate":1.5})",
       Speak{"a", "d", 0, 5, "v1", 1.5f}},
      {R"({"type":"speak","id":"a","document_id":"d","rate":1})",
       Speak{"a", "d", std::nullopt, std::nullopt, std::nullopt, 1.0f}},
      {R"({"type":"speak_summary","id":"a","document_id":"d","voice_id":null,"rate":0.5})",
       SpeakSummary{"a", "d", std::nullopt, 0.5f}},
      {R"({"type":"stop","id":"9"})", Stop{"9"}},
  });
}

// Extensions: word events on speak requests, pause and resume. Without them, the requests
// decode exactly as before (word_events false).
TEST(DecodeRequest, WordEventsPauseAndResume) {
  expect_decodes({
      {R"({"type":"speak","id":"a","document_id":"d","rate":1,"word_events":true})",
       Speak{"a", "d", std::nullopt, std::nullopt, std::nullopt, 1.0f, true}},
      {R"({"type":"speak","id":"a","document_id":"d","rate":1,"word_events":null})",
       Speak{"a", "d", std::nullopt, std::nullopt, std::nullopt, 1.0f, false}},
      {R"({"word_events":true,"type":"speak_summary","id":"a","document_id":"d","rate":2})",
       SpeakSummary{"a", "d", std::nullopt, 2.0f, true}},
      {R"(["speak","a","d",1,2,"v",1,true])", Speak{"a", "d", 1, 2, "v", 1.0f, true}},
      {R"(["speak_summary","a","d",null,1,false])", SpeakSummary{"a", "d", std::nullopt, 1.0f}},
      {R"({"type":"init","id":"1","word_events":"yes"})", Init{"1"}},
      {R"({"type":"list_voices","id":"v","details":true})", ListVoices{"v", true}},
      {R"({"type":"list_voices","id":"v","details":null})", ListVoices{"v", false}},
      {R"({"type":"init","id":"1","details":"yes"})", Init{"1"}},
      {R"({"type":"pause","id":"p"})", Pause{"p"}},
      {R"(["pause","p"])", Pause{"p"}},
      {R"({"type":"resume","id":"r"})", Resume{"r", std::nullopt, std::nullopt}},
      {R"({"type":"resume","id":"r","rate":1.5,"voice_id":"v"})", Resume{"r", 1.5f, "v"}},
      {R"(["resume","r",null,null])", Resume{"r", std::nullopt, std::nullopt}},
      {R"(["resume","r",0.5,"v"])", Resume{"r", 0.5f, "v"}},
      {R"(["resume","r"])", Resume{"r", std::nullopt, std::nullopt}},
      {R"(["resume","r",1])", Resume{"r", 1.0f, std::nullopt}},
  });
  expect_rejects({
      R"({"type":"speak","id":"a","document_id":"d","rate":1,"word_events":1})",
      R"({"type":"speak","id":"a","document_id":"d","rate":1,"word_events":"true"})",
      R"(["speak","a","d",1,2,"v",1,true,true])",
      R"(["speak_summary","a","d",null])",
      R"({"type":"pause"})",
      R"(["pause","p",1])",
      R"({"type":"resume","id":"r","rate":"fast"})",
      R"({"type":"resume","id":"r","voice_id":3})",
      R"(["resume","r",1,"v",true])",
      R"(["resume"])",
      R"({"type":"Pause","id":"p"})",
  });
}

// Extension: the reading a document is loaded with. Any value but the two names decodes (the
// host answers it with an error naming them); left out or null it is the plain reading.
TEST(DecodeRequest, LoadDocumentReading) {
  using R = RequestedReading;
  expect_decodes({
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":"natural"})",
       LoadDocument{"a", "d", "t", R::Natural}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":"plain"})",
       LoadDocument{"a", "d", "t", R::Plain}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":null})",
       LoadDocument{"a", "d", "t", R::Plain}},
      {R"(["load_document","a","d","t","natural"])", LoadDocument{"a", "d", "t", R::Natural}},
      {R"(["load_document","a","d","t"])", LoadDocument{"a", "d", "t", R::Plain}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":"Natural"})",
       LoadDocument{"a", "d", "t", R::Unsupported}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":1})",
       LoadDocument{"a", "d", "t", R::Unsupported}},
      {R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":["natural"]})",
       LoadDocument{"a", "d", "t", R::Unsupported}},
      // Other requests ignore the member, as any they do not know.
      {R"({"type":"init","id":"1","reading":"natural"})", Init{"1"}},
  });
  expect_rejects({
      R"(["load_document","a","d","t","natural",null])",
      R"(["load_document","a","d"])",
      R"({"type":"load_document","id":"a","document_id":"d","text":"t","reading":"plain","reading":"natural"})",
  });
}

TEST(DecodeRequest, ObjectFormMemberOrderNullsAndIgnoredMembers) {
  expect_decodes({
      {R"({"id":"7","type":"init","extra":[1,{"a":null}]})", Init{"7"}},
      {R"({"rate":2,"end_offset":null,"id":"a","start_offset":null,"document_id":"d",)"
       R"("type":"speak"})",
       Speak{"a", "d", std::nullopt, std::nullopt, std::nullopt, 2.0f}},
      {R"( { "type" : "init" , "id" : "x" } )", Init{"x"}},
      // Known names that are not fields of this type are ignored whatever their value.
      {R"({"type":"init","id":"1","text":5,"rate":"fast","start_offset":-1,"voice_id":[]})",
       Init{"1"}},
      {R"({"type":"prepare_summary","id":"a","document_id":"d","start_offset":1.5})",
       PrepareSummary{"a", "d"}},
      // Nested values never reach the request, whatever names they use.
      {R"({"type":"init","x":{"id":"2","type":"stop","x":{"a":1,"a":2}},"id":"1"})", Init{"1"}},
      {R"({"type":"init","x":[[[{"id":[]}]],"]"],"y":{"}":"{"},"id":"1"})", Init{"1"}},
      {R"({"type":"init","id":"1","x":true,"y":false,"z":null,"w":-3,"v":2.5e-3})", Init{"1"}},
      // Numbers beyond the double range in an ignored member.
      {R"({"type":"init","id":"1","x":1e400,"y":[-1e999,2e500],"z":)" + std::string(400, '9') + "}",
       Init{"1"}},
  });
}

TEST(DecodeRequest, ArrayFormFollowsDeclaredOrder) {
  expect_decodes({
      {R"(["init","r1"])", Init{"r1"}},
      {R"(["list_voices","r"])", ListVoices{"r"}},
      {R"(["list_voices","r",true])", ListVoices{"r", true}},
      {R"(["load_document","a","d","text"])", LoadDocument{"a", "d", "text"}},
      {R"(["prepare_speech","a","d",1,null])", PrepareSpeech{"a", "d", 1, std::nullopt}},
      {R"(["prepare_summary","a","d"])", PrepareSummary{"a", "d"}},
      {R"(["speak","a","d",null,7,"v",-2])", Speak{"a", "d", std::nullopt, 7, "v", -2.0f}},
      {R"(["speak_summary","a","d",null,1e400])",
       SpeakSummary{"a", "d", std::nullopt, std::numeric_limits<float>::infinity()}},
      {R"(["stop","s"])", Stop{"s"}},
  });
}

TEST(DecodeRequest, OffsetsAcceptOnlyIntegersInUnsigned64BitRange) {
  expect_decodes({
      {R"({"type":"prepare_speech","id":"a","document_id":"d","start_offset":0,)"
       R"("end_offset":18446744073709551615})",
       PrepareSpeech{"a", "d", 0, kMax}},
      {R"(["prepare_speech","a","d",18446744073709551615,0])", PrepareSpeech{"a", "d", kMax, 0}},
  });
  std::vector<std::string> rejected;
  for (const std::string bad : {"-1", "3.0", "1e2", "1E2", "0.5", "-0", "18446744073709551616",
                                "99999999999999999999999", "1e400", "\"3\"", "true", "[]", "{}"}) {
    rejected.push_back(R"({"type":"prepare_speech","id":"a","document_id":"d","start_offset":)" +
                       bad + "}");
    rejected.push_back(R"({"type":"speak","id":"a","document_id":"d","rate":1,"end_offset":)" +
                       bad + "}");
    rejected.push_back(R"(["prepare_speech","a","d",null,)" + bad + "]");
  }
  expect_rejects(rejected);
}

std::uint32_t bits(float f) {
  return std::bit_cast<std::uint32_t>(f);
}

TEST(DecodeRequest, RateIsNearestFloatOfAnyNumber) {
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string number;
    float expected;
  };
  const std::vector<Case> cases = {
      {"1", 1.0f},
      {"0", 0.0f},
      {"-0", -0.0f},
      {"-0.0", -0.0f},
      {"0.1", 0.1f},
      {"-2.75", -2.75f},
      {"1E1", 10.0f},
      {"25e-1", 2.5f},
      {"16777217", 16777216.0f},
      {"-9223372036854775808", -9223372036854775808.0f},
      {"18446744073709551615", 18446744073709551616.0f},
      {"18446744073709551616", 18446744073709551616.0f},
      {"3.4028235e38", std::numeric_limits<float>::max()},
      // Just above the midpoint between 1 and the next float: rounding through a double first
      // would land on the midpoint and then round to even, giving 1.
      {"1.0000000596046447753906251", std::nextafter(1.0f, 2.0f)},
      {"1e39", inf},
      {"-1e39", -inf},
      {"1e400", inf},
      {"-1e400", -inf},
      {std::string(400, '9'), inf},
      {[] {
         std::string minus_nines(401, '9');
         minus_nines[0] = '-';
         return minus_nines;
       }(),
       -inf},
      {"1e-50", 0.0f},
      {"-1e-50", -0.0f},
      {"1e-45", std::numeric_limits<float>::denorm_min()},
  };
  for (const Case& c : cases) {
    const std::string line =
        R"({"type":"speak_summary","id":"a","document_id":"d","rate":)" + c.number + "}";
    SCOPED_TRACE(line);
    auto decoded = decode_request(line);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    const auto* request = std::get_if<SpeakSummary>(&*decoded);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(bits(request->rate), bits(c.expected)) << request->rate << " vs " << c.expected;
  }
}

TEST(DecodeRequest, ManyOverflowingNumbersKeepTheirPlaces) {
  // Overflowing numbers before and after the rate, also inside strings that look like numbers.
  const std::string line = R"({"a":[1e400,"1e400",-1e401,3],"type":"speak","b":2e999,)"
                           R"("id":"x\"1e999","document_id":"d","rate":-5e300000,"c":7,)"
                           R"("start_offset":4})";
  auto decoded = decode_request(line);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  EXPECT_EQ(*decoded, Request(Speak{"x\"1e999", "d", 4, std::nullopt, std::nullopt,
                                    -std::numeric_limits<float>::infinity()}));
}

TEST(DecodeRequest, StringsDecodeStandardEscapes) {
  expect_decodes({
      {R"(["init","\"\\\/\b\f\n\r\t"])", Init{"\"\\/\b\f\n\r\t"}},
      {R"(["init","\u00e9\u00E9é"])", Init{"\xC3\xA9\xC3\xA9\xC3\xA9"}},
      {R"(["init","\ud83d\ude00"])", Init{"\xF0\x9F\x98\x80"}},
      {R"(["init","a\u0000b"])", Init{"a\0b"s}},
      {"[\"init\",\"\x7F\"]", Init{"\x7F"}},
      {"[\"init\",\"\xE3\x80\x80\"]", Init{"\xE3\x80\x80"}},
  });
}

TEST(DecodeRequest, RejectsBadJson) {
  expect_rejects({
      "",
      "   ",
      "{",
      R"({"type":"init","id":"1"} x)",
      R"({"type":"init","id":"1"}{"type":"init","id":"2"})",
      R"({"type":"init","id":"1"},)",
      R"({"type":"init","id":"1",})",
      R"({type:"init","id":"1"})",
      R"({'type':'init','id':'1'})",
      R"({"type":"init","id":"1"/*c*/})",
      "\xEF\xBB\xBF{\"type\":\"init\",\"id\":\"1\"}",
      // A line is its full length: a NUL does not end it.
      "{\"type\":\"init\",\"id\":\"1\"}\0garbage"s,
      "[\"init\",\"a\"]\0[\"init\",\"b\"]"s,
      "[\"init\",\"a\"]\0"s,
      // Raw control characters, lone or reversed surrogates, invalid UTF-8.
      "[\"init\",\"a\tb\"]",
      "[\"init\",\"a\nb\"]",
      "[\"init\",\"a\0b\"]"s,
      "[\"init\",\"\x1F\"]",
      R"(["init","\ud83d"])",
      R"(["init","\ude00"])",
      R"(["init","\ude00\ud83d"])",
      R"(["init","\ud83dx"])",
      R"(["init","\x"])",
      R"(["init","\u12"])",
      "[\"init\",\"\xC3\"]",
      "[\"init\",\"\xFF\"]",
      "[\"init\",\"\xED\xA0\x80\"]",
      "[\"init\",\"\xC0\xAF\"]",
      // Overflowing numbers do not excuse broken numbers around them.
      R"({"type":"init","id":"1","x":1e400e5})",
      R"({"type":"init","id":"1","x":1e400.5})",
      R"({"type":"init","id":"1","x":01e400})",
      R"({"type":"init","id":"1","x":1e400 1})",
  });
}

TEST(DecodeRequest, RejectsWrongShape) {
  expect_rejects({
      R"("init")",
      "5",
      "null",
      "[]",
      "{}",
      R"({"type":"Init","id":"7"})",
      R"({"type":"INIT","id":"7"})",
      R"({"type":"init "," id":"7"})",
      R"({"type":"unknown","id":"7"})",
      R"({"type":5,"id":"7"})",
      R"({"type":null,"id":"7"})",
      R"({"type":["init"],"id":"7"})",
      R"({"id":"7"})",
      R"({"x":{"type":"init"},"id":"7"})",
      // Duplicate member names, whether fields, "type" or ignored members.
      R"({"type":"init","id":"1","id":"2"})",
      R"({"type":"init","type":"init","id":"1"})",
      R"({"type":"init","id":"1","x":1,"x":2})",
      R"({"type":"init","id":"1","text":1,"text":1})",
      // Array form: count and first element.
      R"(["init"])",
      R"(["init","r1","x"])",
      R"(["init","r1",null])",
      R"(["speak","a","d",null,null,null])",
      R"(["speak","a","d",null,null,null,1,2])",
      R"(["Init","r1"])",
      R"([5,"r1"])",
      R"([null,"r1"])",
      R"([["init"],"r1"])",
      R"([{"type":"init"},"r1"])",
      R"(["prepare_summary","a",["d"]])",
      R"(["prepare_summary","a",{}])",
  });
}

// Names no request knows are compared after decoding, however many members there are.
TEST(DecodeRequest, DuplicateUnknownNamesAmongMany) {
  std::string many;
  for (int i = 0; i < 5000; ++i)
    many += ",\"m" + std::to_string(i) + "\":[" + std::to_string(i) + "]";
  const std::string init = R"({"type":"init","id":"1")";
  expect_decodes(
      {{init + many + "}", Init{"1"}}, {init + many + R"(,"a":1,"\u0062":2})", Init{"1"}}});
  expect_rejects({
      init + many + R"(,"m17":0})",
      init + R"(,"a":1)" + many + R"(,"\u0061":2})",
      init + R"(,"\u00e9":1)" + many + ",\"\xC3\xA9\":2}",
  });
}

TEST(DecodeRequest, RequiredAndTypedFields) {
  expect_rejects({
      R"({"type":"init"})",
      R"({"type":"init","id":null})",
      R"({"type":"init","id":5})",
      R"({"type":"init","id":true})",
      R"({"type":"init","id":["1"]})",
      R"({"type":"init","id":{}})",
      R"({"type":"load_document","id":"a","document_id":"d"})",
      R"({"type":"load_document","id":"a","text":"t"})",
      R"({"type":"load_document","id":"a","document_id":"d","text":null})",
      R"({"type":"load_document","id":"a","document_id":1,"text":"t"})",
      R"({"type":"prepare_speech","id":"a"})",
      R"({"type":"speak","id":"a","document_id":"d"})",
      R"({"type":"speak","id":"a","document_id":"d","rate":null})",
      R"({"type":"speak","id":"a","document_id":"d","rate":"1"})",
      R"({"type":"speak","id":"a","document_id":"d","rate":true})",
      R"({"type":"speak","id":"a","document_id":"d","rate":[1]})",
      R"({"type":"speak","id":"a","document_id":"d","rate":1,"voice_id":5})",
      R"({"type":"speak","id":"a","document_id":"d","rate":1,"voice_id":false})",
      R"({"type":"speak_summary","id":"a","document_id":"d","voice_id":"v"})",
      R"({"type":"speak_summary","id":"a","document_id":"d","rate":1,"voice_id":{}})",
      R"(["speak_summary","a","d","v",null])",
      R"(["load_document","a",null,"t"])",
  });
}

// Long strings are scanned sixteen bytes at a time: every escape, multi-byte character and
// forbidden byte must be seen wherever it falls in a block, including across a block's end.
TEST(DecodeRequest, EscapesAndBadBytesAtEveryPositionOfALongString) {
  struct Piece {
    std::string written;
    std::string decoded;  // empty: the line is refused
  };
  const std::vector<Piece> pieces = {
      {R"(\n)", "\n"},
      {R"(\")", "\""},
      {R"(\\)", "\\"},
      {R"(\u00e9)", "\xC3\xA9"},
      {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},
      {"\xC3\xA9", "\xC3\xA9"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"\t", ""},
      {"\x1F"s, ""},
      {"\0"s, ""},
      {"\xC3", ""},
      {"\xE2\x82", ""},
      {"\xED\xA0\x80", ""},
      {"\xF4\x90\x80\x80", ""},
      {"\x80", ""},
      {R"(\ud83d)", ""},
      {R"(\q)", ""},
  };
  const std::string filler = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
  for (const Piece& piece : pieces) {
    for (std::size_t at = 0; at <= filler.size(); ++at) {
      const std::string written = filler.substr(0, at) + piece.written + filler.substr(at);
      const std::string line = R"(["init",")" + written + R"("])";
      SCOPED_TRACE(line);
      auto decoded = decode_request(line);
      if (piece.decoded.empty()) {
        EXPECT_FALSE(decoded.has_value());
      } else {
        ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
        EXPECT_EQ(*decoded,
                  Request(Init{filler.substr(0, at) + piece.decoded + filler.substr(at)}));
      }
    }
  }
}

// A long string decoded while its line arrives, in reads of any size, must give what decoding
// the whole line gives: the same request, or the same refusal.
TEST(DecodeRequest, StringDecodedAheadMatchesTheWholeLine) {
  const std::vector<std::string> pieces = {
      R"(\n)", R"(\")", R"(\\)", R"(\u00e9)", R"(\ud83d\ude00)", "\xC3\xA9", "\xF4\x8F\xBF\xBF",
      "\t",    "\xC3",  "\x80",  R"(\ud83d)", R"(\ud83dx)",      R"(\u12)",  R"(\q)",
  };
  const std::string filler = "Plain words, then more of them. ";
  std::string text;
  while (text.size() < 80000) text += filler;
  for (const std::string& piece : pieces) {
    // The piece before the point where decoding ahead starts, and again at many points after.
    std::string written = text;
    for (std::size_t at = 100; at < written.size(); at += at < 60000 ? 30000 : 997) {
      written.insert(at, piece);
    }
    for (const std::string& line :
         {R"({"type":"load_document","id":"1","document_id":"d","text":")" + written + R"("})",
          R"({"other":")" + written + R"(","type":"stop","id":"s"})",
          R"({"type":"load_document","id":"1","document_id":"d","text":")" + written}) {
      const auto whole = decode_request(line);
      for (const std::size_t step : {std::size_t{1}, std::size_t{13}, std::size_t{4093}}) {
        SCOPED_TRACE(piece + " in steps of " + std::to_string(step));
        json::StringAhead ahead;
        for (std::size_t size = step; size < line.size(); size += step) {
          ahead.feed(std::string_view(line).substr(0, size));
        }
        json::DecodedAhead decoded = ahead.take(line.data());
        const auto with_ahead = decode_request(line, &decoded);
        ASSERT_EQ(with_ahead.has_value(), whole.has_value());
        if (whole) {
          EXPECT_EQ(*with_ahead, *whole);
        } else {
          EXPECT_EQ(with_ahead.error().message, whole.error().message);
        }
      }
    }
  }
}

// Decoded ahead past the room first taken for it, the text moves to larger room whole.
TEST(DecodeRequest, StringDecodedAheadOutgrowsItsFirstRoom) {
  const std::string unit = R"(Plain words and more plain words: \u00fc \"\ud83d\ude00\"\n)";
  std::string written;
  while (written.size() < (std::size_t{44} << 20)) written += unit;
  const std::string line =
      R"({"type":"load_document","id":"1","document_id":"d","text":")" + written + R"("})";
  const auto whole = decode_request(line);
  ASSERT_TRUE(whole.has_value()) << whole.error().message;
  json::StringAhead ahead;
  for (std::size_t size = 1 << 20; size < line.size(); size += (1 << 20) + 7) {
    ahead.feed(std::string_view(line).substr(0, size));
  }
  json::DecodedAhead decoded = ahead.take(line.data());
  ASSERT_NE(decoded.open, nullptr);
  EXPECT_GT(decoded.contents.size(), std::size_t{32} << 20);
  const auto with_ahead = decode_request(line, &decoded);
  ASSERT_TRUE(with_ahead.has_value());
  EXPECT_TRUE(*with_ahead == *whole);
}

TEST(DecodeRequest, LargeTextSurvivesIntact) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "Zeile \xC3\xBC" + std::to_string(i) + ' ';
  auto decoded = decode_request(R"({"text":")" + text +
                                R"(","type":"load_document","document_id":"d","id":"1"})");
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  EXPECT_EQ(*decoded, Request(LoadDocument{"1", "d", text}));
}

}  // namespace
}  // namespace mdspeak
