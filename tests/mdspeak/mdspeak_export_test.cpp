// mdspeak --output through the real binaries, with no speech daemon anywhere.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace {

namespace fs = std::filesystem;

class MdspeakExport : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("mdspeak-cli-export-" + std::to_string(getpid()));
    fs::create_directories(dir_ / "out");
    std::ofstream(dir_ / "notes.md") << "# Quill\n\nQuill reads your notes aloud.\n\n## Use\n\n"
                                        "Run it.\n";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs mdspeak in `dir_` with `args`; its stdout and stderr.
  int run(const std::string& args, std::string& out) {
    const std::string command = "cd '" + dir_.string() +
                                "' && SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock "
                                "MDSPEAK_SERVICE=" MDSPEAK_SERVICE_PATH " " MDSPEAK_PATH " " +
                                args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  fs::path dir_;
};

TEST_F(MdspeakExport, WritesTheFileAndSaysWhatItWrote) {
  std::string out;
  EXPECT_EQ(run("notes.md --output out/notes.opus --transcript out/notes.vtt --chapters 1", out),
            0);
  EXPECT_TRUE(std::regex_match(
      out, std::regex("notes\\.opus: [0-9]+ s, 1 chapter, 9 words, written in [0-9.]+ s\n")))
      << out;
  EXPECT_GT(fs::file_size(dir_ / "out/notes.opus"), 1000u);
  EXPECT_GT(fs::file_size(dir_ / "out/notes.vtt"), 100u);
}

TEST_F(MdspeakExport, FailuresAndUsageErrorsLeaveNoFile) {
  struct Case {
    std::string args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"notes.md --output missing/notes.opus", 1,
       "mdspeak: the directory " + (dir_ / "missing").string() + " does not exist\n"},
      {"notes.md --output out/notes.aiff", 1, "mdspeak: cannot tell the format of "},
      {"notes.md --output out/notes.opus --format aiff", 1, "mdspeak: unknown format 'aiff'"},
      {"notes.md --transcript out/notes.vtt", 2, "mdspeak: --transcript requires --output"},
      {"notes.md --print --output out/notes.opus", 2, "mdspeak: --print excludes --output"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(run(c.args, out), c.status) << c.args << ": " << out;
    EXPECT_TRUE(out.starts_with(c.message)) << c.args << ": " << out;
    EXPECT_TRUE(fs::is_empty(dir_ / "out")) << c.args;
  }
}

TEST_F(MdspeakExport, CtrlCCancelsAndLeavesNothing) {
  std::ofstream long_document(dir_ / "long.md");
  for (int i = 0; i < 3000; ++i) long_document << "Paragraph " << i << " goes on and on.\n\n";
  long_document.close();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    chdir(dir_.c_str());
    setenv("SPEECHD_ADDRESS", "unix_socket:/nonexistent/s.sock", 1);
    setenv("MDSPEAK_SERVICE", MDSPEAK_SERVICE_PATH, 1);
    execl(MDSPEAK_PATH, MDSPEAK_PATH, "long.md", "--output", "out/long.m4b", "--transcript",
          "out/long.srt", static_cast<char*>(nullptr));
    _exit(127);
  }
  // Cancelled once the export has begun writing.
  for (int i = 0; i < 500; ++i) {
    bool started = false;
    for (const auto& entry : fs::directory_iterator(dir_ / "out")) {
      started = started || entry.path().filename().string().ends_with(".part");
    }
    if (started) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(child, SIGINT);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_TRUE(fs::is_empty(dir_ / "out"));
}

}  // namespace
