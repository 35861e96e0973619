// One speaking run of the reader: talks to the service, follows its events, reacts to keys and
// signals, and draws the display or prints plain lines.
//
// How it is put together: `Playback` (playback.h) holds the phase and its moves; the
// `PendingRequests` table (pending.h) says what each unanswered request was for; an answer is
// routed by its type, then by that purpose. Everything runs on the one thread that calls `run`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "options.h"
#include "positions.h"
#include "service.h"
#include "terminal.h"
#include "text.h"

namespace mdspeak::client {

// Where the reading of one file is remembered when it stops.
struct Memory {
  std::filesystem::path store;  // the positions file
  std::string path;             // the document, absolute
  std::string digest;
  bool warned = false;  // the positions file was already said to be unusable
};

// Where to begin instead of the chosen range's start: a remembered offset in an unchanged file,
// or in an edited one the remembered heading, once the utterances are known.
struct ResumeAt {
  std::optional<std::uint64_t> offset;
  std::optional<SavedPosition> by_heading;
};

// What the session reads and writes besides the service.
struct SessionIo {
  Terminal* terminal = nullptr;  // drawn on when `draws`; Ctrl-Z suspends it
  bool draws = false;
  int key_fd = -1;          // keys, one byte each (-1: none)
  int signal_fd = -1;       // caught signals, one byte each (install_signal_pipe)
  std::FILE* out = stdout;  // plain lines and --json lines
  std::FILE* err = stderr;
};

class Session {
 public:
  Session(const Options& options, std::string source, ServiceConnection service, SessionIo io);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void remember_in(std::optional<Memory> memory, ResumeAt resume);
  // Speaks `range` of the source (or the summary) until the end, a quit or a failure; returns
  // the process's exit status.
  int run(const ByteRange& range);

 private:
  class Reading;
  std::unique_ptr<Reading> reading_;
};

}  // namespace mdspeak::client
