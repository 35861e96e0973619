// Whether speech-dispatcher is still at work, told without asking it: the CPU time the kernel
// counts for the daemon (which plays the audio) and for its synthesizer modules.
//
// Why: a long word (a 24-digit number, a digest) is spoken for many seconds without a single
// notification, and an utterance queued behind another client's waits for its begin as long as
// that client speaks; neither is a stall. Measured on espeak-ng: while speaking, the daemon and
// the module use about 80 ms of CPU a second; idle, they wake for about 0.1 ms a second; frozen
// (SIGSTOP) or wedged in a dead audio output, nothing. Asking the daemon instead would cost it
// CPU, a frozen daemon never answers, and an answering daemon says nothing about a frozen module.
//
// Thread contract: a `SynthesizerWatch` belongs to the thread that owns the connection (its one
// helper thread only runs `synthesizer_processes` and hands back the result); the free functions
// only read /proc.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace mdspeak::speechd {

using WatchClock = std::chrono::steady_clock;

// CPU time used so far by every thread of `pid`, in nanoseconds; nullopt when the process is
// gone or cannot be read.
std::optional<std::uint64_t> process_cpu_ns(pid_t pid);

// The daemon listening on the unix socket at `socket_path` (the process holding the listening
// socket), followed by its synthesizer modules (the processes whose standard input is a pipe the
// daemon holds). Empty when the daemon cannot be seen: another user's, another machine's, or this
// very process (a daemon played by a test).
std::vector<pid_t> synthesizer_processes(const std::string& socket_path);

// Whether some process listens on the unix socket at `socket_path`.
bool listening(const std::string& socket_path);

// How many clients are connected to the daemon listening at `socket_path` (whose end of the
// connection is still open, where the kernel can tell).
std::size_t connected_clients(const std::string& socket_path);

// Decides from samples of the processes' total CPU time when they were last busy. Pure, so that
// the rule is tested with made-up samples.
class BusyClock {
 public:
  // Samples further apart than this are not needed: the host gives up after seconds.
  static constexpr std::chrono::milliseconds kSampleEvery{500};
  // The share of the time between two samples spent on a CPU above which the processes count as
  // busy: twenty times what idle wake-ups cost, forty times less than speaking.
  static constexpr double kBusyShare = 0.002;

  bool due(WatchClock::time_point now) const;
  // The total at `now`; nullopt when it could not be read (the processes are gone).
  void sample(WatchClock::time_point now, std::optional<std::uint64_t> cpu_ns);
  // When a sample last showed work; nullopt before the first one did.
  std::optional<WatchClock::time_point> busy_at() const { return busy_at_; }

 private:
  std::optional<WatchClock::time_point> sampled_at_;
  std::optional<std::uint64_t> last_ns_;
  std::optional<WatchClock::time_point> busy_at_;
};

// Watches the daemon behind one connection and its modules.
class SynthesizerWatch {
 public:
  // The daemon at the other end of the connected unix socket `fd`. Its processes are looked up
  // on a helper thread (a scan of /proc: 6-9 ms with 140 processes), so that neither opening
  // the connection nor the first speech waits for it; until then nothing is observable.
  void attach(int fd);
  // True when the daemon's processes could be found.
  bool observable();
  // When the daemon or a module last used CPU above the idle rate (sampling when due); nullopt
  // while no sample has shown work or when nothing can be observed.
  std::optional<WatchClock::time_point> busy_at(WatchClock::time_point now);
  // Ends the daemon if it started after this process (libspeechd started it for our first
  // connection) and no client is connected to it any more; called once our connections are
  // closed. A daemon someone else started, or one another client uses, is left alone.
  void stop_daemon_if_ours();

 private:
  // Takes the helper's answer once it is there (with `wait`, waits for it).
  void look_up(bool wait);

  std::string path_;  // the socket the daemon listens on
  std::future<std::vector<pid_t>> found_;
  std::vector<pid_t> pids_;
  BusyClock clock_;
};

}  // namespace mdspeak::speechd
