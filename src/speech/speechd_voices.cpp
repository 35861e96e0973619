// Listing speech-dispatcher's voices over a connection of our own (see list_voices).
#include <libspeechd.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "speech/speechd_bounded.h"
#include "speech/speechd_ssip.h"

namespace mdspeak::speechd {

bool SsipReply::feed(std::string_view bytes) {
  if (final_) return true;
  partial_.append(bytes);
  std::size_t start = 0;
  for (;;) {
    std::size_t end = partial_.find('\n', start);
    if (end == std::string::npos) break;
    std::string_view text(partial_.data() + start, end - start);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    line(text);
    start = end + 1;
    if (final_) break;
  }
  partial_.erase(0, start);
  return final_.has_value();
}

void SsipReply::line(std::string_view text) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  bool well_formed = text.size() >= 4 && digit(text[0]) && digit(text[1]) && digit(text[2]);
  if (well_formed && text[3] == '-') {
    data_.emplace_back(text.substr(4));
  } else {
    // The final line, or a line that is not SSIP, which ends the reply as a failure.
    final_.emplace(text);
    if (!(well_formed && text[3] == ' ')) final_->insert(0, "?");
  }
}

bool SsipReply::ok() const {
  return final_ && !final_->empty() && (*final_)[0] == '2';
}

const std::string& SsipReply::final_line() const {
  static const std::string none;
  return final_ ? *final_ : none;
}

std::optional<ListedVoice> listed_voice(std::string_view data) {
  std::size_t first = data.find('\t');
  if (first == std::string_view::npos || first == 0) return std::nullopt;
  std::size_t second = data.find('\t', first + 1);
  ListedVoice voice;
  voice.name = std::string(data.substr(0, first));
  if (second == std::string_view::npos) {
    voice.language = std::string(data.substr(first + 1));
  } else {
    voice.language = std::string(data.substr(first + 1, second - first - 1));
    voice.variant = std::string(data.substr(second + 1));
  }
  return voice;
}

std::vector<Voice> plain_voices(const std::vector<ListedVoice>& listing, std::string_view module,
                                bool default_module) {
  std::vector<Voice> voices;
  for (const ListedVoice& entry : listing) {
    if (entry.variant != "none") continue;
    std::string id = default_module ? entry.name : std::string(module) + ":" + entry.name;
    voices.push_back(
        Voice{std::move(id), entry.name, std::nullopt, entry.language, std::string(module)});
  }
  return voices;
}

namespace {

Error system_error(int error) {
  return tts_error::io(std::strerror(error));
}

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60'000));
}

// Waits until `fd` is ready for `events`; false on timeout.
Result<bool> wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, remaining_ms(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return fail(system_error(errno));
  }
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

Result<void> finish_connect(int fd, Clock::time_point deadline) {
  auto ready = wait_ready(fd, POLLOUT, deadline);
  if (!ready) return fail(std::move(ready.error()));
  if (!*ready) return fail(timed_out());
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (error != 0) return fail(system_error(error));
  return {};
}

Result<int> connect_unix(const char* path, Clock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path == nullptr || std::strlen(path) >= sizeof address.sun_path) {
    return fail(tts_error::io("bad socket path"));
  }
  std::strcpy(address.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(system_error(errno));
  for (;;) {
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    int error = errno;
    if (error == EINPROGRESS) {
      if (auto done = finish_connect(fd, deadline); !done) {
        close(fd);
        return fail(std::move(done.error()));
      }
      return fd;
    }
    // A full listen queue: try again shortly.
    if ((error == EAGAIN || error == EINTR) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    close(fd);
    return fail(system_error(error));
  }
}

Result<int> connect_inet(const char* host, int port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int looked_up =
      getaddrinfo(host != nullptr ? host : "127.0.0.1", service.c_str(), &hints, &found);
  if (looked_up != 0) return fail(tts_error::io(gai_strerror(looked_up)));
  Error last = system_error(ECONNREFUSED);
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    if (connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      freeaddrinfo(found);
      return fd;
    }
    if (errno == EINPROGRESS) {
      if (auto done = finish_connect(fd, deadline); done) {
        freeaddrinfo(found);
        return fd;
      } else {
        last = std::move(done.error());
      }
    } else {
      last = system_error(errno);
    }
    close(fd);
  }
  freeaddrinfo(found);
  return fail(std::move(last));
}

// The daemon that libspeechd would connect to (SPEECHD_ADDRESS or the default socket).
Result<int> connect_to_daemon(Clock::time_point deadline) {
  char* error = nullptr;
  SPDConnectionAddress* address = spd_get_default_address(&error);
  if (address == nullptr) {
    std::string text = error != nullptr ? error : "no speech-dispatcher address";
    std::free(error);
    return fail(tts_error::io(text));
  }
  Result<int> fd =
      address->method == SPD_METHOD_UNIX_SOCKET
          ? connect_unix(address->unix_socket_name, deadline)
          : connect_inet(address->inet_socket_host, address->inet_socket_port, deadline);
  SPDConnectionAddress__free(address);
  return fd;
}

Result<void> send_all(int fd, std::string_view text, Clock::time_point deadline) {
  while (!text.empty()) {
    ssize_t sent = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      text.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN) return fail(system_error(errno));
    auto ready = wait_ready(fd, POLLOUT, deadline);
    if (!ready) return fail(std::move(ready.error()));
    if (!*ready) return fail(timed_out());
  }
  return {};
}

Result<void> read_reply(int fd, SsipReply& reply, Clock::time_point deadline) {
  char buffer[65536];
  while (!reply.complete()) {
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      reply.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
      continue;
    }
    if (got == 0) return fail(system_error(ECONNRESET));
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return fail(system_error(errno));
    auto ready = wait_ready(fd, POLLIN, deadline);
    if (!ready) return fail(std::move(ready.error()));
    if (!*ready) return fail(timed_out());
  }
  if (!reply.ok()) return fail(Error(std::string(tts_error::kOperationFailed)));
  return {};
}

Result<SsipReply> ask(int fd, std::string_view command, Clock::time_point deadline) {
  if (auto sent = send_all(fd, std::string(command) + "\r\n", deadline); !sent) {
    return fail(std::move(sent.error()));
  }
  SsipReply reply;
  if (auto read = read_reply(fd, reply, deadline); !read) return fail(std::move(read.error()));
  return reply;
}

// The voices the connection's current output module lists.
Result<std::vector<ListedVoice>> listed_voices(int fd, Clock::time_point deadline) {
  auto listing = ask(fd, "LIST SYNTHESIS_VOICES", deadline);
  if (!listing) return fail(std::move(listing.error()));
  std::vector<ListedVoice> entries;
  entries.reserve(listing->data().size());
  for (const std::string& data : listing->data()) {
    if (auto voice = listed_voice(data)) entries.push_back(std::move(*voice));
  }
  return entries;
}

// A module name goes into a command line: one without spaces or control characters.
bool usable_module_name(std::string_view name) {
  return !name.empty() && std::none_of(name.begin(), name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

Result<std::vector<Voice>> exchange(int fd, Clock::time_point deadline) {
  if (auto hello = ask(fd, "SET SELF CLIENT_NAME mdspeak:mdspeak:voices", deadline); !hello) {
    return fail(std::move(hello.error()));
  }
  // Modules and the default are asked for first; a daemon that cannot name them (an older one)
  // is listed as before, its default module alone. A module that fails to list is left out.
  std::vector<std::string> modules;
  std::string default_module;
  if (auto listed = ask(fd, "LIST OUTPUT_MODULES", deadline)) {
    for (const std::string& name : listed->data()) {
      if (usable_module_name(name)) modules.push_back(name);
    }
  }
  if (!modules.empty()) {
    if (auto got = ask(fd, "GET OUTPUT_MODULE", deadline); got && !got->data().empty()) {
      default_module = got->data().front();
    }
  }
  const bool named = !default_module.empty() &&
                     std::find(modules.begin(), modules.end(), default_module) != modules.end();
  auto entries = listed_voices(fd, deadline);
  if (!entries) return fail(std::move(entries.error()));
  std::vector<Voice> voices =
      named ? plain_voices(*entries, default_module) : plain_voices(*entries);
  if (named) {
    for (const std::string& module : modules) {
      if (module == default_module) continue;
      auto set = ask(fd, "SET SELF OUTPUT_MODULE " + module, deadline);
      if (!set) {
        if (set.error().message == tts_error::kOperationFailed) continue;
        return fail(std::move(set.error()));
      }
      auto more = listed_voices(fd, deadline);
      if (!more) {
        if (more.error().message == tts_error::kOperationFailed) continue;
        return fail(std::move(more.error()));
      }
      // A module whose process died stays named, and the daemon lists (and speaks) its default
      // module's voices for it: festival's does when its speech is stopped.
      if (*more == *entries) continue;
      for (Voice& voice : plain_voices(*more, module, false)) voices.push_back(std::move(voice));
    }
  }
  (void)send_all(fd, "QUIT\r\n", deadline);
  return voices;
}

}  // namespace

Result<std::vector<Voice>> list_voices(Clock::time_point deadline,
                                       const std::function<bool(int socket)>& on_socket) {
  auto fd = connect_to_daemon(deadline);
  if (!fd) return fail(std::move(fd.error()));
  Socket socket(*fd);
  if (!on_socket(socket.fd())) {
    on_socket(-1);
    return fail(system_error(ECANCELED));
  }
  auto voices = exchange(socket.fd(), deadline);
  // Nobody may shut the socket down once it is closed (its number may be reused at once).
  on_socket(-1);
  return voices;
}

}  // namespace mdspeak::speechd
