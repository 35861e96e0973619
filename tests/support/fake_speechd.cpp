#include "support/fake_speechd.h"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

namespace mdspeak {

namespace {

// SSIP commands ignore case ("speak", "SPEAK").
bool starts_with(const std::string& text, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

void send_text(int fd, const std::string& text) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

}  // namespace

FakeSpeechd::FakeSpeechd() {
  char pattern[] = "/tmp/mdspeak-fake-speechd-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  dir_ = pattern;
  path_ = dir_ + "/speechd.sock";
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return;
  }
  listener_ = fd;
  acceptor_ = std::thread([this] { accept_loop(); });
}

FakeSpeechd::~FakeSpeechd() {
  stopping_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    for (int fd : clients_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : servers_) t.join();
  for (int fd : clients_) close(fd);
  if (listener_ >= 0) close(listener_);
  if (!path_.empty()) unlink(path_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

void FakeSpeechd::stall_on(std::string prefix) {
  std::lock_guard lock(mutex_);
  stall_prefix_ = std::move(prefix);
}

void FakeSpeechd::drop_connections() {
  std::lock_guard lock(mutex_);
  for (int fd : clients_) shutdown(fd, SHUT_RDWR);
}

std::vector<std::string> FakeSpeechd::commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

void FakeSpeechd::accept_loop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard lock(mutex_);
    clients_.push_back(fd);
    servers_.emplace_back([this, fd] { serve(fd); });
  }
}

// The answer to a command about output modules, `module` being the connection's own.
std::string FakeSpeechd::module_reply(const std::string& line, const std::vector<Module>& modules,
                                      std::string& module) {
  if (module.empty()) module = modules.front().name;
  std::string reply;
  if (starts_with(line, "LIST OUTPUT_MODULES")) {
    for (const Module& m : modules) reply += "250-" + m.name + "\r\n";
    reply += "250 OK MODULE LIST SENT\r\n";
  } else if (starts_with(line, "GET OUTPUT_MODULE")) {
    reply = "251-" + modules.front().name + "\r\n251 OK GET RETURNED\r\n";
  } else if (starts_with(line, "SET SELF OUTPUT_MODULE")) {
    module = line.substr(std::strlen("SET SELF OUTPUT_MODULE "));
    reply = "216 OK OUTPUT MODULE SET\r\n";
  } else {
    for (const Module& m : modules) {
      if (m.name != module) continue;
      for (const std::string& v : m.voices) reply += "249-" + v + "\r\n";
    }
    reply += "249 OK VOICE LIST SENT\r\n";
  }
  return reply;
}

void FakeSpeechd::serve(int fd) {
  std::string pending;
  bool stalled = false;
  bool receiving_text = false;
  std::string module;  // this connection's output module; empty: the default
  auto modules_named = [this] {
    std::lock_guard lock(mutex_);
    return modules_;
  };
  char buffer[4096];
  for (;;) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = pending.find("\r\n")) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      if (receiving_text) {
        if (line != ".") continue;
        receiving_text = false;
        {
          // stall_on(".") stalls once the text has been sent, before the message id is told.
          std::lock_guard lock(mutex_);
          if (stall_prefix_ == ".") stalled = true;
        }
        int id;
        {
          std::lock_guard lock(mutex_);
          id = next_message_++;
        }
        if (!stalled) {
          send_text(fd, "225-" + std::to_string(id) + "\r\n225 OK MESSAGE QUEUED\r\n");
        }
        continue;
      }
      {
        std::lock_guard lock(mutex_);
        commands_.push_back(line);
        if (!stall_prefix_.empty() && starts_with(line, stall_prefix_.c_str())) stalled = true;
      }
      if (stalled) continue;
      if (starts_with(line, "SET SELF CLIENT_NAME")) {
        send_text(fd, "208 OK CLIENT NAME SET\r\n");
      } else if (starts_with(line, "HISTORY GET CLIENT_ID")) {
        send_text(fd, "245-1\r\n245 OK CLIENT ID SENT\r\n");
      } else if (starts_with(line, "SET SELF NOTIFICATION")) {
        send_text(fd, "220 OK NOTIFICATION SET\r\n");
      } else if (starts_with(line, "SET SELF RATE")) {
        send_text(fd, "203 OK RATE SET\r\n");
      } else if (starts_with(line, "SET SELF SYNTHESIS_VOICE")) {
        send_text(fd, "209 OK VOICE SET\r\n");
      } else if (starts_with(line, "SET SELF PRIORITY")) {
        send_text(fd, "202 OK PRIORITY SET\r\n");
      } else if (starts_with(line, "SPEAK")) {
        receiving_text = true;
        send_text(fd, "230 OK RECEIVING DATA\r\n");
      } else if (starts_with(line, "CANCEL")) {
        send_text(fd, "210 OK CANCELED\r\n");
      } else if (auto modules = modules_named();
                 !modules.empty() && (starts_with(line, "LIST OUTPUT_MODULES") ||
                                      starts_with(line, "GET OUTPUT_MODULE") ||
                                      starts_with(line, "SET SELF OUTPUT_MODULE") ||
                                      starts_with(line, "LIST SYNTHESIS_VOICES"))) {
        send_text(fd, module_reply(line, modules, module));
      } else if (starts_with(line, "LIST SYNTHESIS_VOICES")) {
        send_text(fd,
                  "249-English (America)\ten-US\tnone\r\n"
                  "249-English (America)+Klatt\ten-US\tKlatt\r\n"
                  "249-Spanish (Latin America)\tes-419\tnone\r\n"
                  "249 OK VOICE LIST SENT\r\n");
      } else if (starts_with(line, "QUIT")) {
        send_text(fd, "231 HAPPY HACKING\r\n");
        return;
      } else {
        send_text(fd, "200 OK\r\n");
      }
    }
  }
}

void FakeSpeechd::set_modules(std::vector<Module> modules) {
  std::lock_guard lock(mutex_);
  modules_ = std::move(modules);
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str())) old_ = old;
  setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace mdspeak
