// mdspeak-service as a child process: finding it, starting it in its own process group (so a
// Ctrl-C on the terminal reaches only the reader, which then stops speech in order), and
// exchanging JSON lines with it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"

namespace mdspeak::client {

// The service binary: $MDSPEAK_SERVICE, else beside this program (or in the build tree's
// src/main), else on PATH. The failure says where it looked.
Result<std::string> find_service(const std::string& self_path);

// The client's end of the service it started (the tests drive theirs with their own harness).
class ServiceConnection {
 public:
  // Extra environment entries for the child.
  static Result<ServiceConnection> start(const std::string& path,
                                         const std::map<std::string, std::string>& environment);
  ServiceConnection(ServiceConnection&& other) noexcept;
  ServiceConnection& operator=(ServiceConnection&&) = delete;
  ~ServiceConnection();

  int stdout_fd() const { return stdout_fd_; }
  int stderr_fd() const { return stderr_fd_; }

  // Writes one request line; false when the service no longer reads.
  bool send(const std::string& line);
  // Reads what is available on stdout and returns the complete lines; sets `eof` at end.
  std::vector<std::string> read_lines();
  // Reads what is available on stderr, keeping the last complete line.
  void read_stderr();
  bool eof() const { return eof_; }
  const std::string& last_error_line() const { return last_error_; }

  void close_stdin();
  // Waits up to `timeout` for the child to exit, then kills it; returns the exit status
  // (128 + signal when killed by one).
  int finish(std::chrono::milliseconds timeout);

 private:
  ServiceConnection() = default;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  std::string out_buffer_;
  std::string err_buffer_;
  std::string last_error_;
  bool eof_ = false;
  std::optional<int> status_;
};

}  // namespace mdspeak::client
