// Runs mdspeak-service as a child process with pipes on stdin, stdout and stderr, the way a
// client does.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace mdspeak::testing {

// `timeout` times MDSPEAK_TEST_TIME_SCALE (a whole number, 1 when unset): builds that run
// several times slower, such as the ThreadSanitizer one, set it so that waits scale with them.
std::chrono::milliseconds scaled(std::chrono::milliseconds timeout);

class ServiceProcess {
 public:
  // Extra environment entries; an empty value removes the variable. `closed_stream` (0, 1 or 2)
  // starts the service with that standard stream closed, as a careless parent might.
  explicit ServiceProcess(const std::map<std::string, std::string>& environment = {},
                          int closed_stream = -1);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  void write(const std::string& bytes);
  void close_stdin();
  void close_stdout();
  void send_signal(int signal);
  // The next output line (without its line feed), or nothing at end of output or timeout.
  std::optional<std::string> read_line(
      std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for exit; returns the exit status (128 + signal when killed by one), or -1 on timeout.
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for exit and returns the child's peak resident set size in KiB (-1 on failure).
  long wait_peak_rss_kib();
  int pid() const { return pid_; }
  // Everything the child wrote to stderr (after it exited).
  std::string read_stderr();

 private:
  int pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string buffer_;
  std::size_t scanned_ = 0;  // bytes of buffer_ known to hold no line feed
  bool stdout_eof_ = false;
};

// Writes `input`, closes stdin, and collects every output line until the process exits.
struct Conversation {
  std::vector<std::string> lines;
  int exit_status = -1;
  std::string stderr_text;
};
Conversation converse(const std::string& input,
                      const std::map<std::string, std::string>& environment = {});

// Environment that makes the speech engine unavailable at once.
std::map<std::string, std::string> without_speech();

}  // namespace mdspeak::testing
