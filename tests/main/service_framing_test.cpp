// The real binary driven through pipes, without a speech engine: framing, ordering, the
// document requests and the unavailable-engine answers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service_process.h"
#include "support/fake_speechd.h"

namespace mdspeak::testing {
namespace {

using namespace std::string_literals;

// The shared objects mapped into a running process, one path per line of its memory map.
std::string mapped_files(int pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string all, line;
  while (std::getline(maps, line)) all += line + "\n";
  return all;
}

const std::string kUnavailableInit =
    R"({"type":"backend_unavailable","message":"failed to initialize system TTS"})";
const std::string kUnavailableInitResult =
    R"({"type":"init_result","id":"1","available":false,"backend":"system-tts","message":"failed to initialize system TTS"})";

// Loading and preparing need no synthesizer: a client that only prepares texts (mdspeak --print)
// never reaches speech-dispatcher, so never starts its daemon either, and the service maps the
// synthesizer's client library (and glib) only at the first request that speaks.
TEST(ServiceFramingTest, OnlyARequestThatNeedsSpeechReachesTheSynthesizer) {
  FakeSpeechd daemon;
  ASSERT_TRUE(daemon.ok());
  ServiceProcess service({{"SPEECHD_ADDRESS", daemon.address()}});
  service.write(R"({"type":"load_document","id":"1","document_id":"d","text":"# A\n\nB.\n"})"
                "\n"
                R"({"type":"prepare_speech","id":"2","document_id":"d"})"
                "\n"
                R"({"type":"prepare_summary","id":"3","document_id":"d"})"
                "\n");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(service.read_line());
  EXPECT_EQ(daemon.connections(), 0);
  for (const char* library : {"mdspeak-speechd.so", "libspeechd", "libglib"}) {
    EXPECT_EQ(mapped_files(service.pid()).find(library), std::string::npos) << library;
  }
  service.write(R"(["init","4"])"
                "\n");
  auto init = service.read_line();
  ASSERT_TRUE(init);
  EXPECT_NE(init->find(R"("available":true)"), std::string::npos) << *init;
  EXPECT_EQ(daemon.connections(), 1);
  for (const char* library : {"mdspeak-speechd.so", "libspeechd"}) {
    EXPECT_NE(mapped_files(service.pid()).find(library), std::string::npos) << library;
  }
  service.close_stdin();
  EXPECT_EQ(service.wait(), 0);
}

TEST(ServiceFramingTest, EmptyInputExitsZeroSilently) {
  for (const std::string input : {"", "\n\n", "  \r\n\u3000\n"}) {
    Conversation c = converse(input, without_speech());
    EXPECT_TRUE(c.lines.empty()) << input;
    EXPECT_EQ(c.exit_status, 0);
    EXPECT_EQ(c.stderr_text, "");
  }
}

TEST(ServiceFramingTest, LineEndingsAndTrimming) {
  struct Case {
    std::string input;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"{\"type\":\"stop\",\"id\":\"a\"}\r\n",
       {R"({"type":"error_result","id":"a","code":"stop_failed","message":"failed to initialize system TTS"})"}},
      // Unicode white space around the value is trimmed, not only JSON's four.
      {"\u00A0\u3000[\"stop\",\"b\"]\u2003\t\n",
       {R"({"type":"error_result","id":"b","code":"stop_failed","message":"failed to initialize system TTS"})"}},
      // A last line without a line feed still counts.
      {"[\"stop\",\"c\"]",
       {R"({"type":"error_result","id":"c","code":"stop_failed","message":"failed to initialize system TTS"})"}},
      // A NUL does not end a line: what follows it makes the line undecodable.
      {"[\"stop\",\"a\"]\0[\"stop\",\"b\"]\n[\"stop\",\"c\"]\0 \n"s, {}},
      // A malformed line between two good ones gets no answer.
      {"[\"stop\",\"1\"]\n{\"type\":\"Stop\",\"id\":\"x\"}\nnot json\n[\"stop\",\"2\"]\n",
       {R"({"type":"error_result","id":"1","code":"stop_failed","message":"failed to initialize system TTS"})",
        R"({"type":"error_result","id":"2","code":"stop_failed","message":"failed to initialize system TTS"})"}},
  };
  for (const auto& c : cases) {
    Conversation got = converse(c.input, without_speech());
    EXPECT_EQ(got.lines, c.want) << c.input;
    EXPECT_EQ(got.exit_status, 0);
  }
}

TEST(ServiceFramingTest, TenRequestsInOneBurstAreAnsweredInOrder) {
  std::string input;
  for (int i = 0; i < 10; ++i) {
    input += "{\"type\":\"prepare_summary\",\"id\":\"r" + std::to_string(i) +
             "\",\"document_id\":\"d" + std::to_string(i) + "\"}\n";
  }
  Conversation c = converse(input, without_speech());
  ASSERT_EQ(c.lines.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(c.lines[i], "{\"type\":\"error_result\",\"id\":\"r" + std::to_string(i) +
                              "\",\"code\":\"document_not_loaded\",\"message\":\"document 'd" +
                              std::to_string(i) + "' is not loaded\"}");
  }
  EXPECT_EQ(c.exit_status, 0);
}

TEST(ServiceFramingTest, InvalidUtf8EndsReadingButEarlierRequestsAreAnswered) {
  Conversation c =
      converse("[\"stop\",\"1\"]\n[\"stop\",\"\xFF\"]\n[\"stop\",\"3\"]\n", without_speech());
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_NE(c.lines[0].find("\"id\":\"1\""), std::string::npos);
  EXPECT_EQ(c.exit_status, 0);
}

TEST(ServiceFramingTest, InitWithoutEngineWritesTwoLines) {
  Conversation c = converse("{\"type\":\"init\",\"id\":\"1\"}\n", without_speech());
  EXPECT_EQ(c.lines, (std::vector<std::string>{kUnavailableInit, kUnavailableInitResult}));
}

TEST(ServiceFramingTest, DocumentRequestsWithoutEngine) {
  const std::string input =
      R"({"type":"load_document","id":"1","document_id":"doc","text":"# Title\n\nHello world, this is a test.\n"})"
      "\n"
      R"(["prepare_speech","2","doc",8,null])"
      "\n"
      R"({"type":"speak","id":"3","document_id":"doc","start_offset":1000,"rate":1})"
      "\n"
      R"({"type":"speak","id":"4","document_id":"doc","rate":1})"
      "\n"
      R"({"type":"list_voices","id":"5"})"
      "\n"
      R"({"type":"speak_summary","id":"6","document_id":"nope","rate":1})"
      "\n";
  Conversation c = converse(input, without_speech());
  const std::vector<std::string> want = {
      R"({"type":"load_document_result","id":"1","document_id":"doc","utterance_count":2})",
      R"({"type":"prepare_speech_result","id":"2","document_id":"doc","language_code":"en","utterances":[{"utterance_index":0,"text":"Hello world, this is a test.","start_offset":9,"end_offset":37,"kind":"paragraph"}]})",
      // Nothing selected: answered without touching the (missing) engine.
      R"({"type":"speak_result","id":"3","document_id":"doc","queued":0})",
      R"({"type":"error_result","id":"4","code":"speak_failed","message":"failed to initialize system TTS"})",
      R"({"type":"error_result","id":"5","code":"list_voices_failed","message":"failed to initialize system TTS"})",
      R"({"type":"error_result","id":"6","code":"document_not_loaded","message":"document 'nope' is not loaded"})",
  };
  EXPECT_EQ(c.lines, want);
  EXPECT_EQ(c.exit_status, 0);
}

TEST(ServiceFramingTest, ClosedStdoutIsAnErrorNotASignal) {
  ServiceProcess service(without_speech());
  service.close_stdout();
  service.write("{\"type\":\"init\",\"id\":\"1\"}\n");
  service.close_stdin();
  EXPECT_EQ(service.wait(), 1);
  std::string err = service.read_stderr();
  EXPECT_EQ(err.rfind("Error: ", 0), 0u) << err;
  EXPECT_NE(err.find("Broken pipe"), std::string::npos) << err;
}

// With no daemon running, creating the engine starts one, as speech clients do; the service
// does not leave it running behind it.
TEST(ServiceFramingTest, ADaemonStartedForTheServiceGoesWithIt) {
  char dir[] = "/tmp/mdspeak-spawn-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string socket = std::string(dir) + "/speech-dispatcher/speechd.sock";
  auto listened_on = [&socket] {
    std::ifstream table("/proc/net/unix");
    std::string line;
    while (std::getline(table, line)) {
      if (line.ends_with(" " + socket)) return true;
    }
    return false;
  };
  const Conversation c = converse(R"({"type":"init","id":"1"})"
                                  "\n",
                                  {{"XDG_RUNTIME_DIR", dir}, {"SPEECHD_ADDRESS", ""}});
  const bool started =
      !c.lines.empty() && c.lines[0].find(R"("available":true)") != std::string::npos;
  const bool left_behind = listened_on();
  std::filesystem::remove_all(dir);
  EXPECT_EQ(c.exit_status, 0);
  if (!started) GTEST_SKIP() << "no speech-dispatcher to start here";
  EXPECT_FALSE(left_behind) << c.stderr_text;
}

TEST(ServiceFramingTest, LongLinesAreRead) {
  std::string text(3 * 1024 * 1024, 'a');
  Conversation c =
      converse(R"({"type":"load_document","id":"big","document_id":"d","text":")" + text + "\"}\n",
               without_speech());
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0],
            R"({"type":"load_document_result","id":"big","document_id":"d","utterance_count":1})");
}

}  // namespace
}  // namespace mdspeak::testing
