// Bounded calls into libspeechd: the pieces that keep a command on a daemon that stopped
// answering from blocking for ever. A watchdog shuts a connection's socket down when a command
// overruns its deadline (libspeechd then gives up with an error); SIGPIPE from writing to such a
// socket is kept away from the process; a socket number is only shut down while it still names
// the socket that was connected.
//
// Thread ownership: `Watchdog` is shared by its owner's thread (arm/disarm) and its own thread
// (firing), all under its mutex; the rest are plain functions and a scope guard for the calling
// thread.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "common/error.h"
#include "speech/tts.h"

namespace mdspeak::speechd {

using Clock = std::chrono::steady_clock;

// Opening includes starting the daemon on demand (about 0.3-0.5 s when it works).
inline constexpr std::chrono::milliseconds kOpenTimeout{1500};
// Opening where no daemon listens yet: libspeechd starts one, which loads its modules first
// (measured: 1.6-2.1 s with eight busy processes on two cores).
inline constexpr std::chrono::milliseconds kSpawnTimeout{5000};
// A command normally takes about a millisecond.
inline constexpr std::chrono::milliseconds kCallTimeout{2000};

inline Error timed_out() {
  return tts_error::io(std::strerror(ETIMEDOUT));
}

// libspeechd closes a connection's socket by itself when it reads end-of-file, and the number
// may then be reused by anything the process opens. A socket is only ever shut down after
// checking that the number still names the socket that was connected.
struct SocketId {
  dev_t device = 0;
  ino_t inode = 0;
};

// The check looks at a number libspeechd's reader thread may close at the same moment; that is
// what it is for, and the identity makes it safe. fstatat rather than fstat: ThreadSanitizer
// counts an fstat as a use of the descriptor and would report each such check against the
// reader's close.
inline std::optional<SocketId> socket_id(int fd) {
  struct stat info {};
  if (fd < 0 || fstatat(fd, "", &info, AT_EMPTY_PATH) != 0 || !S_ISSOCK(info.st_mode)) {
    return std::nullopt;
  }
  return SocketId{info.st_dev, info.st_ino};
}

inline bool still_open(int fd, SocketId id) {
  auto now = socket_id(fd);
  return now && now->device == id.device && now->inode == id.inode;
}

inline void shutdown_if_open(int fd, SocketId id) {
  if (still_open(fd, id)) shutdown(fd, SHUT_RDWR);
}

// Writing to a socket that the watchdog shut down raises SIGPIPE. This keeps that signal away
// from the process while libspeechd runs on the current thread, whatever the host's setting.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlock() {
    if (!was_pending_) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec zero{};
        sigtimedwait(&pipe_, nullptr, &zero);
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

// For helper threads that only ever talk to the daemon: SIGPIPE stays blocked for their life.
inline void block_sigpipe_in_this_thread() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

// Shuts a socket down when a command on it overruns its deadline.
class Watchdog {
 public:
  Watchdog() = default;
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Returns 0 when no watchdog thread could be started (the command then runs unwatched).
  std::uint64_t arm(int fd, SocketId id, Clock::time_point deadline) {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { run(); });
      } catch (const std::system_error&) {
        return 0;
      }
    }
    std::uint64_t ticket = ++next_ticket_;
    armed_.emplace(ticket, Entry{fd, id, deadline});
    cv_.notify_all();
    return ticket;
  }

  // True when the command finished in time; false when its socket was shut down.
  bool disarm(std::uint64_t ticket) {
    if (ticket == 0) return true;
    std::lock_guard lock(mutex_);
    if (armed_.erase(ticket) != 0) return true;
    fired_.erase(ticket);
    return false;
  }

 private:
  struct Entry {
    int fd;
    SocketId id;
    Clock::time_point deadline;
  };

  void run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (armed_.empty()) {
        cv_.wait(lock);
        continue;
      }
      auto earliest = std::min_element(armed_.begin(), armed_.end(), [](auto& a, auto& b) {
                        return a.second.deadline < b.second.deadline;
                      })->second.deadline;
      if (cv_.wait_until(lock, earliest) != std::cv_status::timeout) continue;
      auto now = Clock::now();
      for (auto it = armed_.begin(); it != armed_.end();) {
        if (it->second.deadline <= now) {
          // Still under the lock: the owner has not disarmed, so the socket is still open.
          shutdown_if_open(it->second.fd, it->second.id);
          fired_.insert(it->first);
          it = armed_.erase(it);
        } else {
          ++it;
        }
      }
    }
  }

  // The owner's thread (arm, disarm) and the watchdog's own thread (run) reach every field below,
  // always under `mutex_`; `thread_` is started under it and joined by the destructor.
  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread thread_;
  bool stopping_ = false;
  std::uint64_t next_ticket_ = 0;
  std::map<std::uint64_t, Entry> armed_;
  std::unordered_set<std::uint64_t> fired_;
};

}  // namespace mdspeak::speechd
