// The real service exporting with no speech daemon to be found: the export needs none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "service_process.h"

namespace mdspeak {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ServiceProcess;

class ServiceExport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mdspeak-service-export-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

std::string load(const std::string& text) {
  return json{{"type", "load_document"}, {"id", "1"}, {"document_id", "d"}, {"text", text}}.dump() +
         "\n";
}

std::string book(int paragraphs) {
  std::string text = "# Book\n\n";
  for (int i = 0; i < paragraphs; ++i) {
    if (i % 20 == 0) text += "## Part " + std::to_string(i / 20 + 1) + "\n\n";
    text += "Paragraph " + std::to_string(i) + " is read aloud, word by word.\n\n";
  }
  return text;
}

TEST_F(ServiceExport, ExportsWithoutADaemonAndAnswersWhenInputHasClosed) {
  // Input closes right after the request: the export is finished and answered before the exit.
  const auto talk = testing::converse(load(book(60)) + R"(["export","2","d",")" + path("book.mp3") +
                                          R"(",null,null,null,false,)" + R"(null,1.5,")" +
                                          path("book.srt") + "\"]\n",
                                      testing::without_speech());
  EXPECT_EQ(talk.exit_status, 0);
  EXPECT_EQ(talk.stderr_text, "");
  ASSERT_GE(talk.lines.size(), 2u);
  std::uint64_t done = 0, audio = 0;
  json result;
  for (const std::string& line : talk.lines) {
    const json message = json::parse(line);
    if (message["type"] == "export_progress") {
      EXPECT_EQ(message["id"], "2");
      EXPECT_EQ(message["total"], 64);  // 60 paragraphs and 4 headings
      EXPECT_GT(message["done"].get<std::uint64_t>(), done);
      EXPECT_GT(message["audio_ms"].get<std::uint64_t>(), audio);
      done = message["done"];
      audio = message["audio_ms"];
    } else if (message["type"] == "export_result") {
      result = message;
    }
  }
  ASSERT_TRUE(result.is_object()) << talk.lines.back();
  EXPECT_EQ(result["path"], path("book.mp3"));
  EXPECT_EQ(result["format"], "mp3");
  EXPECT_EQ(result["transcript"], path("book.srt"));
  EXPECT_EQ(result["chapters"], 4);  // Book, Part 1, Part 2, Part 3
  EXPECT_EQ(result["words"], 1 + 3 * 2 + 60 * 8);
  EXPECT_EQ(result["cancelled"], false);
  EXPECT_GE(result["duration_ms"].get<std::uint64_t>(), audio);
  EXPECT_GT(fs::file_size(path("book.mp3")), 10000u);
  EXPECT_GT(fs::file_size(path("book.srt")), 1000u);
}

TEST_F(ServiceExport, StopAndSignalsCancelAndLeaveNothing) {
  for (int signal : {0, SIGTERM}) {
    ServiceProcess service(testing::without_speech());
    service.write(load(book(2000)));
    ASSERT_TRUE(service.read_line());
    service.write(json{{"type", "export"},
                       {"id", "2"},
                       {"document_id", "d"},
                       {"path", path("book.m4b")},
                       {"transcript", path("book.vtt")}}
                      .dump() +
                  "\n");
    // The first progress: the export is under way.
    auto line = service.read_line();
    ASSERT_TRUE(line);
    EXPECT_EQ(json::parse(*line)["type"], "export_progress");
    if (signal != 0) {
      service.send_signal(signal);
      EXPECT_EQ(service.wait(), 128 + signal);
    } else {
      service.write(R"({"type":"stop","id":"3"})"
                    "\n");
      // Answered as without an export (there is no synthesizer), then the export's own answer.
      std::vector<json> after;
      while (auto next = service.read_line()) {
        json message = json::parse(*next);
        if (message["type"] == "export_progress") continue;
        after.push_back(message);
        if (message["type"] == "export_result") break;
      }
      ASSERT_EQ(after.size(), 2u);
      EXPECT_EQ(after[0]["type"], "error_result");
      EXPECT_EQ(after[0]["code"], "stop_failed");
      EXPECT_EQ(after[1]["id"], "2");
      EXPECT_EQ(after[1]["cancelled"], true);
      service.close_stdin();
      EXPECT_EQ(service.wait(), 0);
    }
    EXPECT_TRUE(fs::is_empty(dir_)) << "signal " << signal;
  }
}

}  // namespace
}  // namespace mdspeak
