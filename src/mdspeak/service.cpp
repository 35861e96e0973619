#include "service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace mdspeak::client {

namespace {

bool executable(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

Result<std::string> find_service(const std::string& self_path) {
  const char* override_path = std::getenv("MDSPEAK_SERVICE");
  if (override_path != nullptr && *override_path != '\0') {
    if (executable(override_path)) return std::string(override_path);
    return fail(Error(std::string("MDSPEAK_SERVICE=") + override_path + " is not an executable"));
  }
  std::vector<std::string> looked;
  std::error_code error;
  auto self = std::filesystem::canonical(self_path, error);
  if (!error) {
    auto dir = self.parent_path();
    for (auto candidate : {dir / "mdspeak-service", dir / ".." / "main" / "mdspeak-service"}) {
      looked.push_back(candidate.lexically_normal().string());
      if (executable(looked.back())) return looked.back();
    }
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "";
  while (!dirs.empty()) {
    auto colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    dirs = colon == std::string_view::npos ? "" : dirs.substr(colon + 1);
    if (dir.empty()) continue;
    std::string candidate = dir + "/mdspeak-service";
    if (executable(candidate)) return candidate;
  }
  std::string where;
  for (auto& place : looked) where += place + ", ";
  return fail(Error("cannot find mdspeak-service (looked at " + where + "and on PATH)"));
}

Result<ServiceConnection> ServiceConnection::start(
    const std::string& path, const std::map<std::string, std::string>& environment) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return fail(Error(std::string("cannot create pipes: ") + std::strerror(errno)));
  }
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto name = entry.substr(0, entry.find('='));
    if (!environment.contains(name)) entries.push_back(entry);
  }
  for (auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Own process group: terminal signals go to the reader alone. Default signal dispositions and
  // an empty mask, whatever the reader blocks or ignores.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return fail(Error("cannot start " + path + ": " + std::strerror(spawned)));
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  ServiceConnection process;
  process.pid_ = pid;
  process.stdin_fd_ = in[1];
  process.stdout_fd_ = out[0];
  process.stderr_fd_ = err[0];
  return process;
}

ServiceConnection::ServiceConnection(ServiceConnection&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdin_fd_(std::exchange(other.stdin_fd_, -1)),
      stdout_fd_(std::exchange(other.stdout_fd_, -1)),
      stderr_fd_(std::exchange(other.stderr_fd_, -1)),
      out_buffer_(std::move(other.out_buffer_)),
      err_buffer_(std::move(other.err_buffer_)),
      last_error_(std::move(other.last_error_)),
      eof_(other.eof_),
      status_(other.status_) {}

ServiceConnection::~ServiceConnection() {
  if (pid_ > 0 && !status_) finish(std::chrono::milliseconds(500));
  for (int fd : {stdin_fd_, stdout_fd_, stderr_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool ServiceConnection::send(const std::string& line) {
  if (stdin_fd_ < 0) return false;
  std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(stdin_fd_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::string> ServiceConnection::read_lines() {
  std::vector<std::string> lines;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(stdout_fd_, buffer, sizeof buffer);
    if (n > 0) {
      out_buffer_.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) eof_ = true;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  std::size_t begin = 0;
  for (std::size_t nl; (nl = out_buffer_.find('\n', begin)) != std::string::npos; begin = nl + 1) {
    lines.push_back(out_buffer_.substr(begin, nl - begin));
  }
  out_buffer_.erase(0, begin);
  return lines;
}

void ServiceConnection::read_stderr() {
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(stderr_fd_, buffer, sizeof buffer)) > 0) {
    err_buffer_.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t nl;
  while ((nl = err_buffer_.find('\n')) != std::string::npos) {
    if (nl > 0) last_error_ = err_buffer_.substr(0, nl);
    err_buffer_.erase(0, nl + 1);
  }
  if (err_buffer_.size() > 4096) err_buffer_.clear();
}

void ServiceConnection::close_stdin() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

int ServiceConnection::finish(std::chrono::milliseconds timeout) {
  if (status_) return *status_;
  if (pid_ <= 0) return -1;
  close_stdin();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    // The service's output closes when it exits: waiting on it wakes at once, where a fixed
    // sleep would add up to its length to every run of `mdspeak --print`.
    if (stdout_fd_ >= 0 && !eof_) {
      pollfd out{stdout_fd_, POLLIN, 0};
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (poll(&out, 1, static_cast<int>(std::clamp<long>(left.count(), 0, 5))) > 0) {
        (void)read_lines();  // what is left unread is of no use any more
        continue;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  status_ = decode_status(status);
  return *status_;
}

}  // namespace mdspeak::client
