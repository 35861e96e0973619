#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace mdspeak::testing {

std::chrono::milliseconds scaled(std::chrono::milliseconds timeout) {
  static const long scale = [] {
    const char* text = std::getenv("MDSPEAK_TEST_TIME_SCALE");
    const long value = text != nullptr ? std::strtol(text, nullptr, 10) : 1;
    return value > 0 ? value : 1;
  }();
  return timeout * scale;
}

ServiceProcess::ServiceProcess(const std::map<std::string, std::string>& environment,
                               int closed_stream) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (closed_stream >= 0 && closed_stream <= 2) close(closed_stream);
    for (const auto& [name, value] : environment) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    signal(SIGPIPE, SIG_DFL);
    // Benchmarks compare builds by naming another binary.
    const char* binary = std::getenv("MDSPEAK_SERVICE_BINARY");
    execl(binary != nullptr && *binary != '\0' ? binary : MDSPEAK_SERVICE_PATH, "mdspeak-service",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  stdin_fd_ = in[1];
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  // Writes to a child that already exited must fail, not kill the test.
  signal(SIGPIPE, SIG_IGN);
}

ServiceProcess::~ServiceProcess() {
  if (pid_ > 0) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
  for (int fd : {stdin_fd_, stdout_fd_, stderr_fd_}) {
    if (fd >= 0) close(fd);
  }
}

void ServiceProcess::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(stdin_fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

void ServiceProcess::close_stdin() {
  if (stdin_fd_ >= 0) close(stdin_fd_);
  stdin_fd_ = -1;
}

void ServiceProcess::send_signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void ServiceProcess::close_stdout() {
  if (stdout_fd_ >= 0) close(stdout_fd_);
  stdout_fd_ = -1;
}

std::optional<std::string> ServiceProcess::read_line(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  for (;;) {
    // Only bytes not yet looked at are searched, so a long line costs linear time.
    auto newline = buffer_.find('\n', scanned_);
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      scanned_ = 0;
      return line;
    }
    scanned_ = buffer_.size();
    if (stdout_eof_ || stdout_fd_ < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd p{stdout_fd_, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;
    char chunk[65536];
    ssize_t n = read(stdout_fd_, chunk, sizeof chunk);
    if (n <= 0) {
      stdout_eof_ = true;
      if (!buffer_.empty()) {
        std::string rest = std::move(buffer_);
        buffer_.clear();
        return rest;
      }
      return std::nullopt;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

int ServiceProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + scaled(timeout);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long ServiceProcess::wait_peak_rss_kib() {
  int status = 0;
  rusage usage{};
  if (pid_ <= 0 || wait4(pid_, &status, 0, &usage) != pid_) return -1;
  pid_ = -1;
  return usage.ru_maxrss;
}

std::string ServiceProcess::read_stderr() {
  std::string text;
  char chunk[4096];
  ssize_t n;
  while ((n = read(stderr_fd_, chunk, sizeof chunk)) > 0) text.append(chunk, n);
  return text;
}

Conversation converse(const std::string& input,
                      const std::map<std::string, std::string>& environment) {
  ServiceProcess service(environment);
  service.write(input);
  service.close_stdin();
  Conversation c;
  while (auto line = service.read_line()) c.lines.push_back(*line);
  c.exit_status = service.wait();
  c.stderr_text = service.read_stderr();
  return c;
}

std::map<std::string, std::string> without_speech() {
  // No daemon is started for the missing socket either: one starting beside the service (it
  // takes a core for half a second) would be measured with it.
  return {{"SPEECHD_ADDRESS", "unix_socket:/nonexistent/mdspeak-test/speechd.sock"},
          {"SPEECHD_CMD", "/bin/false"}};
}

}  // namespace mdspeak::testing
