// How busy speech-dispatcher's processes are, read from /proc (see speechd_liveness.h for why
// and for the thread contract).
#include "speech/speechd_liveness.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace mdspeak::speechd {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::optional<std::uint64_t> number(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The first field of a small /proc file.
std::optional<std::uint64_t> first_number(const std::string& path) {
  char buffer[128];
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return std::nullopt;
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  return number(std::string_view(buffer, n));
}

// "socket:[123]" or "pipe:[123]" -> 123 when `link` has that kind.
std::optional<std::uint64_t> inode_of(std::string_view link, std::string_view kind) {
  if (!link.starts_with(kind) || link.size() < kind.size() + 3) return std::nullopt;
  link.remove_prefix(kind.size());
  if (link.front() != '[' || link.back() != ']') return std::nullopt;
  return number(link.substr(1, link.size() - 2));
}

std::string read_link(const std::string& path) {
  char buffer[256];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Inodes of the listening unix sockets bound to `path`.
std::set<std::uint64_t> listening_inodes(const std::string& path) {
  std::set<std::uint64_t> found;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    // Num RefCount Protocol Flags Type St Inode Path
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, bound;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound)) continue;
    if (bound != path || flags != "00010000") continue;  // __SO_ACCEPTCON: listening
    if (auto value = number(inode)) found.insert(*value);
  }
  return found;
}

// Field `n` (1-based, as proc(5) counts) of /proc/<pid>/stat.
std::optional<std::uint64_t> stat_field(const std::string& pid, int n) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t after_name = text.rfind(')');
  if (after_name == std::string::npos || after_name + 2 > text.size()) return std::nullopt;
  std::istringstream fields(text.substr(after_name + 2));
  std::string field;
  for (int i = 3; fields >> field; ++i) {
    if (i == n) return number(field);
  }
  return std::nullopt;
}

// True when `pid` has ended: it is gone, or dead and not yet reaped by whoever adopted it.
bool ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t after_name = text.rfind(") ");
  return after_name == std::string::npos || after_name + 2 >= text.size() ||
         text[after_name + 2] == 'Z' || text[after_name + 2] == 'X';
}

// The path the connected unix socket `fd` is connected to.
std::optional<std::string> peer_path(int fd) {
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return std::nullopt;
  if (address.sun_family != AF_UNIX || size <= offsetof(sockaddr_un, sun_path)) {
    return std::nullopt;
  }
  std::string path(address.sun_path, size - offsetof(sockaddr_un, sun_path));
  while (!path.empty() && path.back() == '\0') path.pop_back();
  if (path.empty()) return std::nullopt;  // unnamed or abstract
  return path;
}

}  // namespace

std::optional<std::uint64_t> process_cpu_ns(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  Dir dir(opendir(tasks.c_str()));
  if (!dir) return std::nullopt;
  std::uint64_t total = 0;
  bool any = false;
  while (dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    if (auto ns = first_number(tasks + "/" + entry->d_name + "/schedstat")) {
      total += *ns;
      any = true;
    }
  }
  if (any) return total;
  // A kernel without scheduler statistics: the process's clock ticks, coarser but enough.
  const std::string id = std::to_string(pid);
  const auto user = stat_field(id, 14);
  const auto system = stat_field(id, 15);
  if (!user || !system) return std::nullopt;
  const std::uint64_t ticks = *user + *system;
  const long per_second = sysconf(_SC_CLK_TCK);
  return ticks * (1'000'000'000ull / static_cast<std::uint64_t>(per_second > 0 ? per_second : 100));
}

bool listening(const std::string& socket_path) {
  return !listening_inodes(socket_path).empty();
}

std::vector<pid_t> synthesizer_processes(const std::string& socket_path) {
  const std::set<std::uint64_t> listening = listening_inodes(socket_path);
  if (listening.empty()) return {};
  const pid_t self = getpid();
  std::optional<pid_t> daemon;
  std::set<std::uint64_t> daemon_pipes;
  std::vector<std::pair<pid_t, std::uint64_t>> stdin_pipes;  // every process's, to match after

  Dir proc(opendir("/proc"));
  if (!proc) return {};
  while (dirent* entry = readdir(proc.get())) {
    auto pid = number(entry->d_name);
    if (!pid || static_cast<pid_t>(*pid) == self) continue;
    const std::string fds = "/proc/" + std::string(entry->d_name) + "/fd";
    if (auto in = inode_of(read_link(fds + "/0"), "pipe:")) {
      stdin_pipes.emplace_back(static_cast<pid_t>(*pid), *in);
    }
    if (daemon) continue;
    Dir dir(opendir(fds.c_str()));  // fails for other users' processes
    if (!dir) continue;
    std::set<std::uint64_t> pipes;
    bool holds_listener = false;
    while (dirent* fd = readdir(dir.get())) {
      if (fd->d_name[0] == '.') continue;
      const std::string link = read_link(fds + "/" + fd->d_name);
      if (auto socket = inode_of(link, "socket:"); socket && listening.contains(*socket)) {
        holds_listener = true;
      } else if (auto pipe = inode_of(link, "pipe:")) {
        pipes.insert(*pipe);
      }
    }
    if (holds_listener) {
      daemon = static_cast<pid_t>(*pid);
      daemon_pipes = std::move(pipes);
    }
  }
  if (!daemon) return {};
  std::vector<pid_t> found{*daemon};
  for (const auto& [pid, pipe] : stdin_pipes) {
    if (pid != *daemon && daemon_pipes.contains(pipe)) found.push_back(pid);
  }
  return found;
}

namespace {

struct OwnedFd {
  int fd;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
};

// Connections accepted on `socket_path` whose client end is still open, asked of the kernel's
// socket diagnostics: a daemon that is wedged never closes its end of a connection whose client
// has gone, and /proc/net/unix cannot tell those apart. Nothing when the kernel cannot be asked.
std::optional<std::size_t> clients_still_there(const std::string& socket_path) {
  const OwnedFd owned{socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  const int fd = owned.fd;
  if (fd < 0) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_UNIX;
  ask.request.udiag_states = 1u << TCP_ESTABLISHED;
  ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_PEER;
  if (send(fd, &ask, sizeof ask, 0) != static_cast<ssize_t>(sizeof ask)) return std::nullopt;
  std::size_t count = 0;
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    int left = static_cast<int>(got);
    // NLMSG_OK's test, without the macro's mix of signed and unsigned comparisons.
    auto fits = [&left](const nlmsghdr* h) {
      return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
             h->nlmsg_len <= static_cast<std::uint32_t>(left);
    };
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); fits(h); h = NLMSG_NEXT(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return count;
      if (h->nlmsg_type == NLMSG_ERROR) return std::nullopt;
      const auto* diag = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
      int attributes = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *diag));
      std::string_view name;
      std::uint32_t peer = 0;
      for (auto* a = reinterpret_cast<const rtattr*>(diag + 1); RTA_OK(a, attributes);
           a = RTA_NEXT(a, attributes)) {
        const auto* data = static_cast<const char*>(RTA_DATA(a));
        if (a->rta_type == UNIX_DIAG_NAME) {
          name = std::string_view(data, RTA_PAYLOAD(a));
          while (!name.empty() && name.back() == '\0') name.remove_suffix(1);
        }
        if (a->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(a) >= sizeof peer) {
          std::memcpy(&peer, data, sizeof peer);
        }
      }
      if (name == socket_path && peer != 0) ++count;
    }
  }
}

}  // namespace

std::size_t connected_clients(const std::string& socket_path) {
  if (auto live = clients_still_there(socket_path)) return *live;
  std::size_t count = 0;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, bound;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound)) continue;
    // The daemon's end of each accepted connection carries the path it listens on.
    if (bound == socket_path && state == "03") ++count;
  }
  return count;
}

bool BusyClock::due(WatchClock::time_point now) const {
  return !sampled_at_ || now - *sampled_at_ >= kSampleEvery;
}

void BusyClock::sample(WatchClock::time_point now, std::optional<std::uint64_t> cpu_ns) {
  const std::optional<WatchClock::time_point> before = std::exchange(sampled_at_, now);
  const std::optional<std::uint64_t> last = std::exchange(last_ns_, cpu_ns);
  // A first sample, or a total that shrank (a thread or module went): a new baseline.
  if (!before || !last || !cpu_ns || *cpu_ns < *last) return;
  const double elapsed_ns = std::chrono::duration<double, std::nano>(now - *before).count();
  if (static_cast<double>(*cpu_ns - *last) > kBusyShare * elapsed_ns) busy_at_ = now;
}

void SynthesizerWatch::attach(int fd) {
  path_ = peer_path(fd).value_or("");
  pids_.clear();
  clock_ = BusyClock();
  if (path_.empty()) return;
  try {
    found_ = std::async(std::launch::async, synthesizer_processes, path_);
  } catch (const std::system_error&) {
    pids_ = synthesizer_processes(path_);
  }
}

void SynthesizerWatch::look_up(bool wait) {
  if (!found_.valid()) return;
  if (!wait && found_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
  pids_ = found_.get();
}

bool SynthesizerWatch::observable() {
  look_up(false);
  return !pids_.empty();
}

std::optional<WatchClock::time_point> SynthesizerWatch::busy_at(WatchClock::time_point now) {
  if (!observable()) return std::nullopt;
  if (clock_.due(now)) {
    std::optional<std::uint64_t> total;
    for (pid_t pid : pids_) {
      if (auto ns = process_cpu_ns(pid)) total = total.value_or(0) + *ns;
    }
    clock_.sample(now, total);
  }
  return clock_.busy_at();
}

void SynthesizerWatch::stop_daemon_if_ours() {
  look_up(true);
  // Looked up again: the daemon found at the first connection may have been the starter that
  // forked it and exited since.
  if (!path_.empty()) pids_ = synthesizer_processes(path_);
  if (pids_.empty()) return;
  const std::string daemon = std::to_string(pids_.front());
  // Never the program that started the service (a stand-in daemon inside it), nor itself.
  if (pids_.front() == getppid() || pids_.front() == getpid()) return;
  const auto daemon_started = stat_field(daemon, 22);
  const auto self_started = stat_field("self", 22);
  if (!daemon_started || !self_started || *daemon_started < *self_started) return;
  // Our connections are closed; where the kernel cannot say whose the others are, the daemon
  // closes its end of ours soon after (a daemon still starting its output modules takes longer:
  // several seconds with a handful of engines installed).
  const auto until = WatchClock::now() + std::chrono::seconds(5);
  while (connected_clients(path_) > 0) {
    if (WatchClock::now() >= until) return;  // another client uses it now
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // It takes about a second to go; one without an audio output ignores SIGTERM altogether.
  const pid_t pid = pids_.front();
  auto wait_until_gone = [pid](std::chrono::milliseconds bound) {
    const auto until = WatchClock::now() + bound;
    while (!ended(pid) && WatchClock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ended(pid);
  };
  kill(pid, SIGTERM);
  if (wait_until_gone(std::chrono::seconds(1))) return;
  kill(pid, SIGKILL);  // its modules leave when their pipes close
  wait_until_gone(std::chrono::milliseconds(500));
}

}  // namespace mdspeak::speechd
