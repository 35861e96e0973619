#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace mdspeak {
namespace {

std::string encode(const Message& message) {
  std::string out;
  encode_message(message, out);
  return out;
}

struct Encoded {
  std::string name;
  Message message;
  std::string expected;
};

TEST(EncodeMessage, EveryAnswerToTheByte) {
  const std::string features =
      "Features { is_speaking: true, pitch: true, rate: true, stop: true, utterance_callbacks: "
      "true, voice: true, get_voice: false, volume: true }";
  const std::vector<Encoded> cases = {
      {"init available", InitResult{"1", true, "system-tts (" + features + ")", std::nullopt},
       R"({"type":"init_result","id":"1","available":true,"backend":"system-tts ()" + features +
           R"x()","message":null})x"},
      {"init unavailable", InitResult{"2", false, "system-tts", "no engine"},
       R"({"type":"init_result","id":"2","available":false,"backend":"system-tts",)"
       R"("message":"no engine"})"},
      {"voices",
       ListVoicesResult{"v",
                        {VoiceInfo{"en-us", "English", "en-US", "Female"},
                         VoiceInfo{"x", "X", std::nullopt, std::nullopt}}},
       R"({"type":"list_voices_result","id":"v","voices":[)"
       R"({"id":"en-us","name":"English","locale":"en-US","gender":"Female"},)"
       R"({"id":"x","name":"X","locale":null,"gender":null}]})"},
      {"voices with details",
       ListVoicesResult{
           "v",
           {VoiceInfo{"rhvoice:Alan", "Alan", "en", std::nullopt, VoiceDetails{"rhvoice", "exact"}},
            VoiceInfo{"e", "E", "en-US", std::nullopt, VoiceDetails{"", "none"}}}},
       R"({"type":"list_voices_result","id":"v","voices":[)"
       R"({"id":"rhvoice:Alan","name":"Alan","locale":"en","gender":null,"engine":"rhvoice",)"
       R"("word_timing":"exact"},)"
       R"({"id":"e","name":"E","locale":"en-US","gender":null,"engine":"","word_timing":"none"}]})"},
      {"no voices", ListVoicesResult{"v", {}},
       R"({"type":"list_voices_result","id":"v","voices":[]})"},
      {"load", LoadDocumentResult{"3", "doc", 42},
       R"({"type":"load_document_result","id":"3","document_id":"doc","utterance_count":42})"},
      {"speak", SpeakResult{"6", "doc", 3},
       R"({"type":"speak_result","id":"6","document_id":"doc","queued":3})"},
      {"stop", StopResult{"9"}, R"({"type":"stop_result","id":"9"})"},
      {"error", ErrorResult{"7", "document_not_loaded", "document 'x' is not loaded"},
       R"({"type":"error_result","id":"7","code":"document_not_loaded",)"
       R"("message":"document 'x' is not loaded"})"},
      {"pause", PauseResult{"p", true}, R"({"type":"pause_result","id":"p","paused":true})"},
      {"resume", ResumeResult{"r", false, 0},
       R"({"type":"resume_result","id":"r","resumed":false,"queued":0})"},

  };
  for (const Encoded& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode(c.message), c.expected);
  }
}

TEST(EncodeMessage, PreparedListsToTheByte) {
  const std::vector<Encoded> cases = {
      {"prepare speech",
       PrepareSpeechResult{
           "4",
           "doc",
           "en",
           {PreparedUtterance{0, "Title", 0, 7, PreparedUtteranceKind::Heading},
            PreparedUtterance{1, "Body.", 9, 14, PreparedUtteranceKind::Paragraph},
            PreparedUtterance{2, "One", 15, 20, PreparedUtteranceKind::Item},
            PreparedUtterance{3, "Q", 21, 24, PreparedUtteranceKind::BlockQuote},
            PreparedUtterance{4, "a, b", 25, 31, PreparedUtteranceKind::TableRow},
            PreparedUtterance{5, "Code block, 1 line.", 32, 40, PreparedUtteranceKind::CodeBlock}}},
       R"({"type":"prepare_speech_result","id":"4","document_id":"doc","language_code":"en",)"
       R"("utterances":[)"
       R"({"utterance_index":0,"text":"Title","start_offset":0,"end_offset":7,"kind":"heading"},)"
       R"({"utterance_index":1,"text":"Body.","start_offset":9,"end_offset":14,)"
       R"("kind":"paragraph"},)"
       R"({"utterance_index":2,"text":"One","start_offset":15,"end_offset":20,"kind":"item"},)"
       R"({"utterance_index":3,"text":"Q","start_offset":21,"end_offset":24,)"
       R"("kind":"block_quote"},)"
       R"({"utterance_index":4,"text":"a, b","start_offset":25,"end_offset":31,)"
       R"("kind":"table_row"},)"
       R"({"utterance_index":5,"text":"Code block, 1 line.","start_offset":32,"end_offset":40,)"
       R"("kind":"code_block"}]})"},
      {"prepare summary without language", PrepareSummaryResult{"5", "doc", std::nullopt, {}},
       R"({"type":"prepare_summary_result","id":"5","document_id":"doc","language_code":null,)"
       R"("utterances":[]})"},
      {"passage languages (natural reading)",
       PrepareSpeechResult{
           "4",
           "doc",
           "es",
           {PreparedUtterance{0, "Guide", 0, 7, PreparedUtteranceKind::Heading, true, "en"},
            PreparedUtterance{1, "1", 9, 10, PreparedUtteranceKind::Item, true, std::nullopt}}},
       R"({"type":"prepare_speech_result","id":"4","document_id":"doc","language_code":"es",)"
       R"("utterances":[)"
       R"({"utterance_index":0,"text":"Guide","start_offset":0,"end_offset":7,"kind":"heading",)"
       R"("language_code":"en"},)"
       R"({"utterance_index":1,"text":"1","start_offset":9,"end_offset":10,"kind":"item",)"
       R"("language_code":null}]})"},
  };
  for (const Encoded& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode(c.message), c.expected);
  }
}

TEST(EncodeMessage, EveryEventToTheByte) {
  const std::vector<Encoded> cases = {
      {"begin", UtteranceBegin{"doc", 0, 10, 20, "Hello"},
       R"({"type":"utterance_begin","document_id":"doc","utterance_index":0,"start_offset":10,)"
       R"("end_offset":20,"text":"Hello"})"},
      {"end", UtteranceEnd{"doc", 18446744073709551615u, 0, 18446744073709551615u, ""},
       R"({"type":"utterance_end","document_id":"doc","utterance_index":18446744073709551615,)"
       R"("start_offset":0,"end_offset":18446744073709551615,"text":""})"},
      {"backend unavailable", BackendUnavailable{"failed to initialize system TTS"},
       R"({"type":"backend_unavailable","message":"failed to initialize system TTS"})"},
      {"word", UtteranceWord{"doc", 1, 12, 17, 3, 9, "it’s,"},
       R"({"type":"utterance_word","document_id":"doc","utterance_index":1,"start_offset":12,)"
       R"("end_offset":17,"text_start":3,"text_end":9,"text":"it’s,"})"},
      {"estimated word", UtteranceWord{"doc", 1, 12, 17, 3, 9, "it", true},
       R"({"type":"utterance_word","document_id":"doc","utterance_index":1,"start_offset":12,)"
       R"("end_offset":17,"text_start":3,"text_end":9,"text":"it","estimated":true})"},
      {"failed", UtteranceFailed{{"doc", 2, 5, 9, "a \"b\""}, "the synthesizer stopped responding"},
       R"({"type":"utterance_failed","document_id":"doc","utterance_index":2,"start_offset":5,)"
       R"("end_offset":9,"text":"a \"b\"","reason":"the synthesizer stopped responding"})"},
      {"begin with voice (natural reading)",
       UtteranceBegin{{"doc", 0, 10, 20, "Hola"}, true, "es", "espeak-ng es"},
       R"({"type":"utterance_begin","document_id":"doc","utterance_index":0,"start_offset":10,)"
       R"("end_offset":20,"text":"Hola","language_code":"es","voice_id":"espeak-ng es"})"},
      {"begin with the synthesizer's voice", UtteranceBegin{{"d", 1, 0, 1, "A"}, true, "en", {}},
       R"({"type":"utterance_begin","document_id":"d","utterance_index":1,"start_offset":0,)"
       R"("end_offset":1,"text":"A","language_code":"en","voice_id":null})"},
  };
  for (const Encoded& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode(c.message), c.expected);
  }
}

TEST(EncodeMessage, StringEscapes) {
  struct Case {
    std::string text;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"plain", "plain"},
      {"", ""},
      {"say \"hi\"", R"(say \"hi\")"},
      {"a\\b", R"(a\\b)"},
      {"\b\t\n\f\r", R"(\b\t\n\f\r)"},
      {std::string("\0", 1), R"(\u0000)"},
      {"\x01\x0b\x0e\x1a\x1f", R"(\u0001\u000b\u000e\u001a\u001f)"},
      {"a/b", "a/b"},
      {"\x7F", "\x7F"},
      {" ~", " ~"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},
      {"\xE2\x80\xA8\xF0\x9F\x98\x80", "\xE2\x80\xA8\xF0\x9F\x98\x80"},
      {"line one\nline two\ttab", R"(line one\nline two\ttab)"},
      {"\"\"\\\\", R"(\"\"\\\\)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    EXPECT_EQ(encode(StopResult{c.text}), R"({"type":"stop_result","id":")" + c.written + "\"}");
  }
}

TEST(EncodeMessage, NoRawControlCharacterEverReachesTheLine) {
  std::string every_byte;
  for (int c = 0; c < 256; ++c) every_byte += static_cast<char>(c);
  const std::string line = encode(UtteranceBegin{every_byte, 0, 0, 0, every_byte});
  for (char c : line) EXPECT_GE(static_cast<unsigned char>(c), 0x20);
  // Bytes from 0x20 upward other than the quote and backslash come through unchanged.
  const std::string tail = every_byte.substr(0x5D);
  EXPECT_NE(line.find(tail), std::string::npos);
}

TEST(EncodeMessage, AppendsToWhatIsAlreadyThere) {
  std::string out = "previous\n";
  encode_message(StopResult{"1"}, out);
  encode_message(StopResult{"2"}, out);
  EXPECT_EQ(out,
            "previous\n{\"type\":\"stop_result\",\"id\":\"1\"}"
            "{\"type\":\"stop_result\",\"id\":\"2\"}");
}

}  // namespace
}  // namespace mdspeak
