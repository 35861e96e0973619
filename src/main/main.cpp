// mdspeak-service: speaks Markdown documents for a client on the other end of stdin/stdout.
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "main/host.h"

int main() {
  using namespace mdspeak;
  // A client that closes its end must turn our next write into an error, not kill us.
  std::signal(SIGPIPE, SIG_IGN);

  auto wakeup = std::make_shared<Wakeup>();
  auto [request_sender, request_receiver] = make_channel<Request>(wakeup);
  auto [event_sender, event_receiver] = make_channel<SpeechEvent>(wakeup);

  if (auto spawned = spawn_stdin_reader(std::move(request_sender), 0); !spawned) {
    std::fprintf(stderr, "%s\n", spawned.error().describe().c_str());
    return 1;
  }

  std::optional<SpeechEngine> engine;
  std::optional<std::string> startup_failure;
  if (auto created = SpeechEngine::create(std::move(event_sender)); created) {
    engine.emplace(std::move(*created));
  } else {
    startup_failure = created.error().message;
  }

  AppState state(std::move(engine), std::move(startup_failure));
  auto result = run_main_loop(request_receiver, event_receiver, state, fd_line_writer(1));
  if (!result) {
    std::fprintf(stderr, "Error: %s\n", result.error().describe().c_str());
    return 1;
  }
  return 0;
}
