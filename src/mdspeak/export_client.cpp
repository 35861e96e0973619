#include "export_client.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "export_view.h"
#include "pronunciations.h"

namespace mdspeak::client {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::chrono_literals;

// A cancelled export answers as soon as the utterance being rendered is cut; a service that
// does not answer by then is left.
constexpr auto kCancelBound = 5s;

std::string absolute(const std::string& path) {
  std::error_code error;
  auto made = std::filesystem::absolute(path, error);
  return error ? path : made.lexically_normal().string();
}

int terminal_width() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

int fatal(const std::string& message) {
  std::fprintf(stderr, "mdspeak: %s\n", message.c_str());
  return 1;
}

Json export_request(const Options& options, const ByteRange& range) {
  Json request = {{"type", "export"},     {"id", "export"},
                  {"document_id", "doc"}, {"path", absolute(*options.output)},
                  {"rate", options.rate}, {"chapter_level", options.chapters}};
  if (options.format) request["format"] = *options.format;
  if (options.transcript) request["transcript"] = absolute(*options.transcript);
  if (options.voice) request["voice_id"] = *options.voice;
  if (options.summary) {
    request["summary"] = true;
  } else {
    request["start_offset"] = range.start;
    if (range.end) request["end_offset"] = *range.end;
  }
  return request;
}

// The progress bar on standard error, drawn only on a terminal.
class ProgressBar {
 public:
  void show(const Json& progress, double elapsed) {
    if (!enabled_) return;
    std::fprintf(stderr, "\r%s\x1b[K",
                 export_progress_line(progress.value("done", 0ull), progress.value("total", 0ull),
                                      progress.value("audio_ms", 0ull), elapsed, terminal_width())
                     .c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void clear() {
    if (shown_) std::fputs("\r\x1b[K", stderr);
    shown_ = false;
  }

 private:
  bool enabled_ = isatty(STDERR_FILENO) != 0;
  bool shown_ = false;
};

// The exit status once `message` (an answer about the export) ends it; nothing while it runs.
std::optional<int> on_answer(const Json& message, double elapsed, std::optional<int> cancelled_by,
                             ProgressBar& bar, ServiceConnection& service) {
  const std::string type = message.value("type", "");
  if (type == "export_progress") {
    bar.show(message, elapsed);
    return std::nullopt;
  }
  if (type != "export_result" && type != "error_result") return std::nullopt;
  bar.clear();
  service.close_stdin();
  service.finish(2s);
  if (type == "error_result")
    return fatal(message.value("message", std::string("the export failed")));
  if (message.value("cancelled", false)) return 128 + cancelled_by.value_or(SIGINT);
  const std::string name =
      std::filesystem::path(message.value("path", std::string())).filename().string();
  std::printf("%s\n", export_summary_line(name, message.value("duration_ms", 0ull),
                                          message.value("chapters", 0ull),
                                          message.value("words", 0ull), elapsed)
                          .c_str());
  return std::fflush(stdout) == 0 ? 0 : fatal("cannot write the output");
}

}  // namespace

int export_to_file(const Options& options, const std::string& source, const ByteRange& range,
                   ServiceConnection& service, int signal_fd) {
  const Json load = {
      {"type", "load_document"}, {"id", "load"}, {"document_id", "doc"}, {"text", source}};
  const auto started = Clock::now();
  const auto pronunciations = pronunciations_request(options.pronunciations);
  if ((pronunciations && !service.send(dump(*pronunciations))) || !service.send(dump(load)) ||
      !service.send(dump(export_request(options, range)))) {
    return fatal("the speech service stopped unexpectedly");
  }

  ProgressBar bar;
  std::optional<int> cancelled_by;
  Clock::time_point cancel_deadline;
  for (;;) {
    pollfd fds[3] = {
        {service.stdout_fd(), POLLIN, 0}, {service.stderr_fd(), POLLIN, 0}, {signal_fd, POLLIN, 0}};
    poll(fds, 3, 250);
    if (fds[2].revents & POLLIN) {
      unsigned char numbers[16];
      const ssize_t n = ::read(signal_fd, numbers, sizeof numbers);
      for (ssize_t i = 0; i < n; ++i) {
        const int number = numbers[i];
        if (number != SIGINT && number != SIGTERM && number != SIGHUP) continue;
        if (!cancelled_by) {
          cancelled_by = number;
          cancel_deadline = Clock::now() + kCancelBound;
          service.send(dump(Json{{"type", "stop"}, {"id", "stop"}}));
        }
      }
    }
    for (const std::string& line : service.read_lines()) {
      const Json message = Json::parse(line, nullptr, false);
      if (!message.is_object() || message.value("id", "") != "export") continue;
      const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
      if (auto status = on_answer(message, elapsed, cancelled_by, bar, service)) return *status;
    }
    service.read_stderr();
    if (service.eof() || (cancelled_by && Clock::now() >= cancel_deadline)) {
      bar.clear();
      service.finish(1s);
      if (cancelled_by) return 128 + *cancelled_by;
      std::string text = "the speech service stopped unexpectedly";
      if (!service.last_error_line().empty()) text += " (" + service.last_error_line() + ")";
      return fatal(text);
    }
  }
}

}  // namespace mdspeak::client
