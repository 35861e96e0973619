// The reader's session against a scripted service (fake_service.py): keys typed into a pipe,
// requests read back from the fake's log. No speech stack, no terminal.
#include "session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "positions.h"

namespace mdspeak::client {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace fs = std::filesystem;

// Six paragraphs, two under a heading.
const char* kDocument =
    "First paragraph.\n\nSecond paragraph.\n\n# Heading\n\nThird paragraph.\n\n"
    "Fourth paragraph.\n\nFifth paragraph.\n";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mdspeak-session-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    options_.file = (dir_ / "doc.md").string();
    std::ofstream(options_.file) << kDocument;
    ASSERT_EQ(pipe(keys_), 0);
  }
  void TearDown() override {
    if (runner_.joinable()) runner_.join();
    ::close(keys_[0]);
    ::close(keys_[1]);
    fs::remove_all(dir_);
  }

  // Starts the session on a thread of its own, the fake playing `environment`.
  void start(std::map<std::string, std::string> environment = {},
             std::optional<Memory> memory = std::nullopt) {
    environment["FAKE_LOG"] = (dir_ / "requests.log").string();
    environment.try_emplace("FAKE_SECONDS", "0.3");
    auto service = ServiceConnection::start(FAKE_SERVICE_PATH, environment);
    ASSERT_TRUE(service) << service.error().message;
    out_ = std::fopen((dir_ / "out.txt").c_str(), "w");
    err_ = std::fopen((dir_ / "err.txt").c_str(), "w");
    SessionIo io{nullptr, false, keys_[0], -1, out_, err_};
    session_ = std::make_unique<Session>(options_, kDocument, std::move(*service), io);
    session_->remember_in(std::move(memory), {});
    runner_ = std::thread([this] {
      status_ = session_->run(ByteRange{});
      std::fclose(out_);
      std::fclose(err_);
      done_ = true;
    });
  }
  int finish() {
    runner_.join();
    return status_;
  }

  void press(const std::string& keys) {
    ASSERT_EQ(::write(keys_[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  std::vector<Json> requests() {
    std::vector<Json> list;
    std::istringstream lines(read_file(dir_ / "requests.log"));
    for (std::string line; std::getline(lines, line);) list.push_back(Json::parse(line));
    return list;
  }
  // The requests of `type`, in order.
  std::vector<Json> requests(const std::string& type) {
    std::vector<Json> list;
    for (auto& r : requests()) {
      if (r["type"] == type) list.push_back(r);
    }
    return list;
  }
  // Waits (boundedly) until `count` requests of `type` were sent.
  bool sent(const std::string& type, std::size_t count = 1) {
    return eventually([&] { return requests(type).size() >= count; });
  }
  // Waits until the plain line of the utterance that says `words` was printed.
  bool heard(const std::string& words) {
    return eventually([&] { return read_file(dir_ / "out.txt").find(words) != std::string::npos; });
  }
  bool eventually(const std::function<bool()>& condition) {
    auto until = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
      if (done_ || std::chrono::steady_clock::now() >= until) return condition();
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  std::size_t offset_of(const std::string& words) {
    return std::string_view(kDocument).find(words);
  }

  fs::path dir_;
  Options options_;
  int keys_[2] = {-1, -1};
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  std::unique_ptr<Session> session_;
  std::thread runner_;
  std::atomic<bool> done_ = false;
  int status_ = -1;
};

TEST_F(SessionTest, PlaysToTheEndAndPrintsEachUtteranceAsItBegins) {
  start({{"FAKE_SECONDS", "0.02"}});
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(read_file(dir_ / "out.txt"),
            "1:1 paragraph First paragraph.\n3:1 paragraph Second paragraph.\n"
            "5:3 heading Heading\n7:1 paragraph Third paragraph.\n"
            "9:1 paragraph Fourth paragraph.\n11:1 paragraph Fifth paragraph.\n");
  EXPECT_EQ(read_file(dir_ / "err.txt"), "");
  // Everything the first word needs in one go, answered in order.
  std::vector<std::string> types;
  for (auto& r : requests()) types.push_back(r["type"]);
  EXPECT_EQ(types, (std::vector<std::string>{"init", "load_document", "prepare_speech", "speak",
                                             "prepare_summary"}));
}

TEST_F(SessionTest, SpacePausesAndResumesWhereTheServiceKeptThePlace) {
  start();
  ASSERT_TRUE(heard("First paragraph."));
  press(" ");
  ASSERT_TRUE(sent("pause"));
  std::this_thread::sleep_for(400ms);
  // Nothing more is said while paused.
  EXPECT_EQ(read_file(dir_ / "out.txt").find("Second"), std::string::npos);
  press(" ");
  ASSERT_TRUE(sent("resume"));
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(requests("speak").size(), 1u);  // resumed, not spoken again from a new start
  EXPECT_NE(read_file(dir_ / "out.txt").find("Fifth paragraph."), std::string::npos);
}

// A service that never answers pause (an older one): the speech is stopped instead, and the
// utterance spoken again from its start on resume.
TEST_F(SessionTest, WithoutTheServicesPauseSpaceStopsAndSpeaksTheUtteranceAgain) {
  start({{"FAKE_NO_PAUSE", "1"}, {"FAKE_SECONDS", "1"}});
  ASSERT_TRUE(heard("Second paragraph."));
  press(" ");
  ASSERT_TRUE(sent("stop"));
  press(" ");
  ASSERT_TRUE(sent("speak", 2));
  EXPECT_EQ(requests("speak")[1]["start_offset"], offset_of("Second paragraph."));
  press("q");
  EXPECT_EQ(finish(), 0);
}

TEST_F(SessionTest, NextAndPreviousSpeakFromTheNeighbouringBlock) {
  start({{"FAKE_SECONDS", "1"}});
  ASSERT_TRUE(heard("First paragraph."));
  struct Step {
    const char* key;
    const char* from;  // where the new speech starts
  } steps[] = {{"n", "Second paragraph."}, {"n", "Heading"},          {"p", "Second paragraph."},
               {"]", "Heading"},           {"n", "Third paragraph."}, {"[", "Heading"}};
  std::size_t count = 1;
  for (const Step& step : steps) {
    press(step.key);
    ASSERT_TRUE(sent("speak", ++count)) << step.key;
    EXPECT_EQ(requests("speak").back()["start_offset"], offset_of(step.from))
        << step.key << " to " << step.from;
    ASSERT_TRUE(heard(step.from));
  }
  press("q");
  EXPECT_EQ(finish(), 0);
}

TEST_F(SessionTest, RateChangesTakeEffectFromTheCurrentWord) {
  struct Case {
    std::map<std::string, std::string> fake;
    const char* then;  // how the speech goes on at the new rate
  } cases[] = {{{}, "resume"}, {{{"FAKE_NO_PAUSE", "1"}}, "speak"}};
  for (auto& c : cases) {
    fs::remove(dir_ / "requests.log");
    done_ = false;
    start(c.fake);
    ASSERT_TRUE(heard("First paragraph."));
    press("+");
    ASSERT_TRUE(sent(c.then, std::string(c.then) == "speak" ? 2 : 1)) << c.then;
    EXPECT_DOUBLE_EQ(requests(c.then).back()["rate"].get<double>(), 1.1) << c.then;
    press("q");
    EXPECT_EQ(finish(), 0) << c.then;
  }
}

TEST_F(SessionTest, QuitStopsTheSpeechAndRemembersThePlace) {
  Memory memory{dir_ / "positions", options_.file, content_digest(kDocument)};
  start({{"FAKE_SECONDS", "1"}}, memory);
  ASSERT_TRUE(heard("First paragraph."));
  press("n");
  ASSERT_TRUE(heard("Second paragraph."));
  press("q");
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(requests().back()["type"], "stop");
  auto saved = load_positions(dir_ / "positions");
  ASSERT_TRUE(saved) << saved.error().message;
  const SavedPosition* entry = find_saved(*saved, options_.file);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->offset, offset_of("Second paragraph."));
}

TEST_F(SessionTest, CtrlCStopsTheSpeechAndExits130) {
  start({{"FAKE_SECONDS", "1"}});
  ASSERT_TRUE(heard("First paragraph."));
  press("\x03");
  EXPECT_EQ(finish(), 130);
  EXPECT_EQ(requests().back()["type"], "stop");
}

TEST_F(SessionTest, AServiceThatDiesEndsTheReadingWithOneLine) {
  start({{"FAKE_DIE_AT", "2"}});
  EXPECT_EQ(finish(), 1);
  EXPECT_EQ(read_file(dir_ / "err.txt"), "mdspeak: the speech service stopped unexpectedly\n");
  EXPECT_NE(read_file(dir_ / "out.txt").find("Second paragraph."), std::string::npos);
}

// A service that does not know the natural reading refuses the load; everything sent after it
// fails as not loaded, and the plain reading is asked for and spoken without a word of it.
TEST_F(SessionTest, ARefusedNaturalReadingFallsBackOnThePlainOne) {
  start({{"FAKE_REFUSE_NATURAL", "1"}, {"FAKE_SECONDS", "0.02"}});
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(read_file(dir_ / "err.txt"), "");
  EXPECT_NE(read_file(dir_ / "out.txt").find("Fifth paragraph."), std::string::npos);
  auto loads = requests("load_document");
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0]["reading"], "natural");
  EXPECT_FALSE(loads[1].contains("reading"));
}

}  // namespace
}  // namespace mdspeak::client
