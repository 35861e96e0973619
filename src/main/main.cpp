// mdspeak-service: speaks Markdown documents for a client on the other end of stdin/stdout.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "main/host.h"

namespace {

// A standard stream the parent left closed would otherwise be taken by the next file we open
// (the speech daemon's socket), which would then receive our answers or feed our reader. A
// closed stdin reads as empty input; a closed stdout becomes a descriptor that cannot be
// written, so the first answer fails as it should.
void ensure_standard_streams_open() {
  const int modes[3] = {O_RDONLY, O_RDONLY, O_WRONLY};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    const int opened = open("/dev/null", modes[fd]);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

// Ctrl-C, a terminal hang-up or a polite kill end the service after it has cancelled its own
// speech; the signals are taken by one thread, so that the main loop can do the cancelling.
std::atomic<int> g_stop_signal{0};

bool watch_stop_signals(const std::shared_ptr<mdspeak::Wakeup>& wakeup) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  // Blocked before any other thread starts, so every thread (libspeechd's too) inherits it.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  try {
    std::thread([set, wakeup] {
      int signal = 0;
      while (sigwait(&set, &signal) != 0) {
      }
      g_stop_signal.store(signal);
      wakeup->notify();
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace mdspeak;
  ensure_standard_streams_open();
  // Clients start the service without arguments; `--version` lets a health check name the build.
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::printf("mdspeak-service %s\n", MDSPEAK_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // A client that closes its end must turn our next write into an error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  auto wakeup = std::make_shared<Wakeup>();
  auto [request_sender, request_receiver] = make_channel<Request>(wakeup);
  auto [event_sender, event_receiver] = make_channel<SpeechEvent>(wakeup);
  if (!watch_stop_signals(wakeup)) {
    std::fprintf(stderr, "failed to spawn thread\n");
    return 1;
  }

  if (auto spawned = spawn_request_intake(std::move(request_sender), 0); !spawned) {
    std::fprintf(stderr, "%s\n", spawned.error().describe().c_str());
    return 1;
  }

  AppState state([sender = std::move(event_sender)]() mutable {
    return SpeechEngine::create(std::move(sender));
  });
  auto result =
      run_main_loop(request_receiver, event_receiver, state, fd_line_writer(1), &g_stop_signal);
  if (const int signal = g_stop_signal.load(); signal != 0) return 128 + signal;
  if (!result) {
    std::fprintf(stderr, "Error: %s\n", result.error().describe().c_str());
    return 1;
  }
  return 0;
}
