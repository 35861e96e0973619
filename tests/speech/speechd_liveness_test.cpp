// Telling a working speech daemon from a frozen one by its processes' CPU time: the rule on
// made-up samples, and the processes found and measured on real ones.
#include "speech/speechd_liveness.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace mdspeak::speechd {
namespace {

using namespace std::chrono_literals;

TEST(BusyClock, WorkAboveTheIdleRateBetweenTwoSamplesIsASignOfLife) {
  struct Case {
    const char* name;
    std::vector<std::optional<std::uint64_t>> totals;  // one sample every second, in ns
    std::optional<int> busy_at;                        // the sample that last showed work
  };
  const std::vector<Case> cases = {
      {"a single sample is only a baseline", {5'000'000'000}, std::nullopt},
      {"speaking: 80 ms a second", {0, 80'000'000, 160'000'000}, 2},
      {"idle wake-ups: 0.1 ms a second", {0, 100'000, 200'000, 300'000}, std::nullopt},
      {"speaking, then frozen", {0, 80'000'000, 80'000'000, 80'000'000}, 1},
      {"a module went (the total shrank)", {0, 80'000'000, 1'000, 2'000}, 1},
      {"the processes are gone", {0, 80'000'000, std::nullopt, std::nullopt}, 1},
      {"back after a gap in the readings", {0, std::nullopt, 10, 90'000'000}, 3},
  };
  const auto start = WatchClock::now();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BusyClock clock;
    for (std::size_t i = 0; i < c.totals.size(); ++i) {
      const auto at = start + std::chrono::seconds(i);
      EXPECT_TRUE(clock.due(at));
      clock.sample(at, c.totals[i]);
      EXPECT_FALSE(clock.due(at + BusyClock::kSampleEvery / 2));
    }
    std::optional<WatchClock::time_point> want;
    if (c.busy_at) want = start + std::chrono::seconds(*c.busy_at);
    EXPECT_EQ(clock.busy_at(), want);
  }
}

// A stand-in for speech-dispatcher: a process listening on a unix socket that holds the write end
// of a "module" child's standard input, as the daemon holds its modules'.
struct FakeDaemonProcesses {
  std::string path;
  pid_t daemon = -1;
  pid_t module = -1;

  FakeDaemonProcesses() {
    char dir[] = "/tmp/mdspeak-liveness-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    path = std::string(dir) + "/speechd.sock";
    int ready[2];
    if (pipe(ready) != 0) return;
    daemon = fork();
    if (daemon == 0) {
      int to_module[2];
      if (pipe(to_module) != 0) _exit(1);
      if (fork() == 0) {
        dup2(to_module[0], 0);
        close(to_module[1]);
        char byte;
        while (read(0, &byte, 1) > 0) {
        }
        _exit(0);
      }
      close(to_module[0]);
      int listener = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
      if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
          listen(listener, 4) != 0) {
        _exit(1);
      }
      (void)!write(ready[1], "x", 1);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char byte;
    if (read(ready[0], &byte, 1) != 1) daemon = -1;
    close(ready[0]);
  }
  ~FakeDaemonProcesses() {
    if (daemon > 0) {
      kill(daemon, SIGKILL);  // the module reads end-of-file and leaves
      waitpid(daemon, nullptr, 0);
    }
    if (!path.empty()) {
      unlink(path.c_str());
      rmdir(path.substr(0, path.rfind('/')).c_str());
    }
  }
};

TEST(SynthesizerProcesses, TheDaemonIsFoundByItsSocketAndItsModulesByTheirPipes) {
  FakeDaemonProcesses fake;
  ASSERT_GT(fake.daemon, 0);
  const std::vector<pid_t> found = synthesizer_processes(fake.path);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], fake.daemon);
  EXPECT_NE(found[1], fake.daemon);
  EXPECT_TRUE(synthesizer_processes(fake.path + ".other").empty());
}

TEST(SynthesizerProcesses, ThisProcessIsNeverWatched) {
  char dir[] = "/tmp/mdspeak-liveness-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/own.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  EXPECT_TRUE(synthesizer_processes(path).empty());
  close(listener);
  unlink(path.c_str());
  rmdir(dir);
}

// A daemon that is wedged keeps its end of a connection whose client has gone: that is no
// client, or a daemon we started would be left running for ever.
TEST(ConnectedClients, OnlyConnectionsWhoseClientIsStillThereCount) {
  char dir[] = "/tmp/mdspeak-liveness-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/speechd.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  EXPECT_EQ(connected_clients(path), 0u);
  int clients[2];
  int accepted[2];
  for (int i = 0; i < 2; ++i) {
    clients[i] = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(connect(clients[i], reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    accepted[i] = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted[i], 0);
  }
  EXPECT_EQ(connected_clients(path), 2u);
  close(clients[0]);  // the daemon's end stays open, as a wedged daemon's does
  EXPECT_EQ(connected_clients(path), 1u);
  EXPECT_EQ(connected_clients(path + ".other"), 0u);
  for (int fd : {clients[1], accepted[0], accepted[1], listener}) close(fd);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(ProcessCpu, AWorkingProcessCountsAndAStoppedOneDoesNot) {
  const pid_t child = fork();
  if (child == 0) {
    // A loop without side effects may be assumed to end, and clang drops it: this one writes.
    volatile unsigned spin = 0;
    for (;;) spin = spin + 1;
  }
  ASSERT_GT(child, 0);
  const auto before = process_cpu_ns(child);
  std::this_thread::sleep_for(100ms);
  const auto working = process_cpu_ns(child);
  kill(child, SIGSTOP);
  std::this_thread::sleep_for(20ms);
  const auto stopped = process_cpu_ns(child);
  std::this_thread::sleep_for(100ms);
  const auto still = process_cpu_ns(child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(before && working && stopped && still);
  EXPECT_GT(*working - *before, 10'000'000u);  // spun for most of 100 ms on a shared machine
  EXPECT_EQ(*still, *stopped);
  EXPECT_FALSE(process_cpu_ns(child));  // gone
}

}  // namespace
}  // namespace mdspeak::speechd
