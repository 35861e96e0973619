// A scripted speech-dispatcher: answers the few commands the backend sends, and can stall
// (stop answering while keeping the connection open), as a daemon whose audio output died does.
//
// It listens on a socket of its own; `address()` is the value for SPEECHD_ADDRESS.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mdspeak {

class FakeSpeechd {
 public:
  // Starts listening; `ok()` tells whether that worked.
  FakeSpeechd();
  FakeSpeechd(const FakeSpeechd&) = delete;
  FakeSpeechd& operator=(const FakeSpeechd&) = delete;
  ~FakeSpeechd();

  bool ok() const { return listener_ >= 0; }
  std::string address() const { return "unix_socket:" + path_; }
  // From now on, a command starting with `prefix` (e.g. "CANCEL") gets no answer, and neither
  // does anything after it on that connection.
  void stall_on(std::string prefix);
  // Closes every connection, as a daemon that crashed does (it keeps accepting new ones).
  void drop_connections();
  // Output modules, the first being the default: from now on the daemon names them and lists
  // each one's voices ("Alan\ten\tnone" lines) for the module a connection has set. Without
  // this it names none, as an older daemon, and lists espeak-ng's voices.
  struct Module {
    std::string name;
    std::vector<std::string> voices;
  };
  void set_modules(std::vector<Module> modules);
  // Every command received so far, in order, across connections.
  std::vector<std::string> commands() const;
  int connections() const { return connections_.load(); }

 private:
  void accept_loop();
  void serve(int fd);
  static std::string module_reply(const std::string& line, const std::vector<Module>& modules,
                                  std::string& module);

  std::string dir_;
  std::string path_;
  int listener_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::string stall_prefix_;
  std::vector<std::string> commands_;
  std::vector<Module> modules_;
  std::vector<int> clients_;
  std::vector<std::thread> servers_;
  int next_message_ = 1;
};

// Sets an environment variable (e.g. SPEECHD_ADDRESS) for one scope, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace mdspeak
