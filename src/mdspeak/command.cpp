// The commands of mdspeak: speaking a document (a `Session`), printing its utterances, listing
// the voices; and what comes before any of them: finding and starting the service, reading the
// file, and the position to continue at.
#include "command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "display.h"
#include "export_client.h"
#include "input.h"
#include "positions.h"
#include "requests.h"
#include "service.h"
#include "session.h"
#include "terminal.h"
#include "utterances.h"

namespace mdspeak::client {

namespace {

using namespace std::chrono_literals;

constexpr auto kServiceExitBound = 2s;

int fatal(const std::string& message) {
  std::fprintf(stderr, "mdspeak: %s\n", message.c_str());
  return 1;
}

// The print modes and the voice list never speak: they must not start a speech daemon either.
std::map<std::string, std::string> silent_environment() {
  return {{"SPEECHD_ADDRESS", "unix_socket:/nonexistent/mdspeak-print/speechd.sock"}};
}

// "Continue at 12:3 'Install'? [Y/n]" on the terminal; Enter is yes, end of input no.
bool ask_to_continue(const SavedPosition& saved, bool changed) {
  std::string heading = saved.heading.empty() ? "" : "'" + one_line(saved.heading) + "'";
  std::string where = changed ? heading + " (the file has changed)"
                              : format_position(saved.at) + (heading.empty() ? "" : " " + heading);
  std::printf("Continue at %s? [Y/n] ", where.c_str());
  std::fflush(stdout);
  char answer[64];
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
    std::printf("\n");
    return false;
  }
  std::string_view text(answer);
  auto first = text.find_first_not_of(" \t\r\n");
  return first == std::string_view::npos || text[first] == 'y' || text[first] == 'Y';
}

// Decides where a speaking run begins: the file's remembered place when it is wanted (asked on a
// terminal, or --resume), else the chosen range. A damaged or unreadable positions file costs a
// warning, never the reading.
std::optional<Memory> recall(const Options& options, const std::string& source, bool interactive,
                             ResumeAt& resume) {
  if (options.summary || options.file == "-") return std::nullopt;
  auto store = positions_path();
  if (!store) return std::nullopt;
  std::error_code error;
  auto absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(options.file), error);
  if (error) return std::nullopt;
  Memory memory{*store, absolute.string(), content_digest(source)};
  bool wanted = options.resume == Options::Resume::kYes ||
                (options.resume == Options::Resume::kAsk && interactive &&
                 options.range.kind == RangeChoice::Kind::kAll);
  if (!wanted) return memory;
  auto entries = load_positions(*store);
  if (!entries) {
    std::fprintf(stderr,
                 "mdspeak: cannot use the remembered positions (%s); reading from the top\n",
                 entries.error().describe().c_str());
    memory.warned = true;
    return memory;
  }
  const SavedPosition* saved = find_saved(*entries, memory.path);
  if (saved == nullptr) return memory;
  bool changed = saved->digest != memory.digest;
  if (changed && saved->heading.empty()) return memory;  // nothing to find it by
  if (options.resume == Options::Resume::kAsk && !ask_to_continue(*saved, changed)) return memory;
  if (changed) {
    resume.by_heading = *saved;
  } else {
    resume.offset = saved->offset;
  }
  return memory;
}

// --print, --print-summary: the service's utterances, nothing spoken.
int print_utterances(const Options& options, const std::string& source, const ByteRange& range,
                     ServiceConnection& service) {
  Json prepare = {{"id", "prepare"}, {"document_id", kDocumentId}};
  if (options.print_summary) {
    prepare["type"] = "prepare_summary";
  } else {
    prepare["type"] = "prepare_speech";
    prepare["start_offset"] = range.start;
    if (range.end) prepare["end_offset"] = *range.end;
  }
  if (!service.send(dump(load_request(source, options.natural_reading))) ||
      !service.send(dump(prepare))) {
    return fatal(died(service));
  }
  auto answer = await_answer(service, "prepare", std::chrono::minutes(2));
  if (answer && options.natural_reading && answer->value("type", "") == "error_result") {
    // Only a refused reading fails the load: load the plain way and ask again.
    if (!service.send(dump(load_request(source, false))) || !service.send(dump(prepare))) {
      return fatal(died(service));
    }
    answer = await_answer(service, "prepare", std::chrono::minutes(2));
  }
  if (!answer) return fatal(died(service));
  // A reader that closed the pipe (`| head`) has all it wanted: end quietly, as filters do.
  auto write_failed = [] { return std::ferror(stdout) != 0; };
  int write_error = 0;
  if (options.json) {
    if (std::printf("%s\n", dump(*answer).c_str()) < 0) write_error = errno;
  } else {
    LineIndex lines(source);
    auto list = utterances_from_json((*answer)["utterances"], lines);
    if (!list) return fatal(list.error().message);
    for (std::size_t i = 0; i < list->size() && !write_failed(); ++i) {
      if (std::printf("%s\n", print_line(i, (*list)[i], list->size()).c_str()) < 0) {
        write_error = errno;
      }
    }
  }
  service.finish(kServiceExitBound);
  if (std::fflush(stdout) != 0 && write_error == 0) write_error = errno;
  if (write_error == 0 && !write_failed()) return 0;
  return write_error == EPIPE ? 0 : fatal("cannot write the output");
}

int list_voices(const Options& options, ServiceConnection& service) {
  service.send(dump(Json{{"type", "init"}, {"id", "init"}}));
  service.send(dump(Json{{"type", "list_voices"}, {"id", "voices"}, {"details", true}}));
  auto init = await_answer(service, "init", 10s);
  if (!init) return fatal(died(service));
  if (!init->value("available", false)) {
    auto why = (*init)["message"].is_string() ? (*init)["message"].get<std::string>() : "";
    return fatal("no speech synthesizer is available: " + why);
  }
  auto answer = await_answer(service, "voices", 10s);
  if (!answer) return fatal(died(service));
  if (answer->value("type", "") != "list_voices_result") {
    return fatal(answer->value("message", std::string("cannot list voices")));
  }
  if (options.json) {
    std::printf("%s\n", dump(*answer).c_str());
  } else {
    constexpr std::size_t kColumns = 6;
    std::vector<std::array<std::string, kColumns>> rows = {
        {"ID", "NAME", "LOCALE", "LANGUAGE", "ENGINE", "WORD TIMING"}};
    for (const auto& voice : (*answer)["voices"]) {
      auto text = [&](const char* key) {
        return voice.contains(key) && voice[key].is_string() ? voice[key].get<std::string>()
                                                             : std::string("-");
      };
      std::string engine = text("engine");
      rows.push_back({text("id"), text("name"), text("locale"), language_name(text("locale")),
                      engine.empty() ? "-" : engine, text("word_timing")});
    }
    std::array<std::size_t, kColumns> widths{};
    for (auto& row : rows) {
      for (std::size_t c = 0; c < kColumns; ++c) {
        widths[c] = std::max(widths[c], display_width(row[c]));
      }
    }
    for (auto& row : rows) {
      std::string line;
      for (std::size_t c = 0; c < kColumns; ++c) {
        line += row[c];
        if (c + 1 < kColumns) line += std::string(widths[c] - display_width(row[c]) + 2, ' ');
      }
      std::printf("%s\n", line.c_str());
    }
  }
  service.finish(kServiceExitBound);
  return 0;
}

}  // namespace

int run(const Options& options, const std::string& self_path) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  auto service_path = find_service(error ? self_path : self.string());
  if (!service_path) return fatal(service_path.error().message);
  bool speaks = !options.print && !options.print_summary && !options.list_voices;

  // Started first, so that it starts while the file is read; it reaches the synthesizer only
  // when asked to speak, so a file refused below costs nothing but its start.
  // An export renders without a sound server or speech daemon: none is started for it.
  signal(SIGPIPE, SIG_IGN);  // a service that died is seen in the answers, not as a signal
  auto service =
      ServiceConnection::start(*service_path, !options.output && (speaks || options.list_voices)
                                                  ? std::map<std::string, std::string>{}
                                                  : silent_environment());
  if (!service) return fatal(service.error().message);

  std::string source;
  ByteRange range;
  if (!options.list_voices) {
    auto text = read_document(options.file, options.encoding);
    if (!text) return fatal(text.error().message);
    source = std::move(*text);
    // Lines are only counted here when the range names them (the reader counts them again).
    auto resolved = options.range.kind == RangeChoice::Kind::kAll
                        ? resolve_range(options.range, LineIndex(""), source.size())
                        : resolve_range(options.range, LineIndex(source), source.size());
    if (!resolved) {
      std::fprintf(stderr, "mdspeak: %s\n", resolved.error().message.c_str());
      return 2;
    }
    range = *resolved;
  }

  if (options.output)
    return export_to_file(options, source, range, *service, install_signal_pipe());
  if (options.list_voices) return list_voices(options, *service);
  if (!speaks) return print_utterances(options, source, range, *service);

  const char* term = std::getenv("TERM");
  bool capable = term == nullptr || std::string_view(term) != "dumb";
  bool draws = !options.json && capable && isatty(STDOUT_FILENO);
  // Asked before the keys are taken and before Ctrl-C is caught: at the question it just ends.
  ResumeAt resume;
  auto memory = recall(options, source, draws && isatty(STDIN_FILENO), resume);

  // Only speech needs stopping in order; the other modes may die of Ctrl-C as they are.
  int signal_fd = install_signal_pipe();
  Terminal terminal;
  bool keys = false;
  if (draws) {
    keys = terminal.open() && terminal.enter();
    draws = keys;
  } else if (isatty(STDIN_FILENO)) {
    // Output piped or --json, typed at a terminal: the keys still work, and are neither
    // echoed into the output nor left for the shell.
    keys = terminal.open() && terminal.in_foreground() && terminal.enter(false);
  }
  SessionIo io{keys ? &terminal : nullptr, draws, keys ? terminal.fd() : -1, signal_fd};
  Session session(options, std::move(source), std::move(*service), io);
  session.remember_in(std::move(memory), std::move(resume));
  return session.run(range);
}

}  // namespace mdspeak::client
