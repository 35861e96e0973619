// The connection to speech-dispatcher that speech goes over.
//
// Why a class of its own: a daemon whose audio output died still accepts a connection and then
// never answers (measured: `spd_cancel` and even `spd_open2` block for ever). So the connection is
// opened on a helper thread that is abandoned when it misses its deadline, and every command is
// watched by a watchdog that shuts the socket down when the command overruns, which makes
// libspeechd give up with an error. A connection that overran or lost its daemon is dropped; the
// next `ensure_open` opens a new one (perhaps to a restarted daemon) and re-applies the rate and
// voice that were set. The daemon's notifications reach the connection's `EventTracker` through a
// process-wide registry keyed by the daemon's client id, since libspeechd calls a plain C
// function.
//
// Thread contract: the owner's thread (the host's main thread) calls every member. libspeechd's
// reader thread reaches only the tracker (through the registry), the watchdog's thread only the
// watchdog's inside; both are internally locked.
#pragma once

#include <libspeechd.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/error.h"
#include "speech/speechd_bounded.h"
#include "speech/speechd_events.h"
#include "speech/speechd_liveness.h"

namespace mdspeak::speechd {

class Connection {
 public:
  ~Connection() { close(); }

  // Opens the connection unless one is open and its daemon still there.
  Result<void> ensure_open();
  // When an open started now must have succeeded: soon against a running daemon (a wedged one
  // never answers), later when one has to be started first.
  static Clock::time_point open_deadline();
  // Opens a new connection within `until`, routes its notifications to `events()` and restores
  // the rate and voice set on the previous one.
  Result<void> open(Clock::time_point until);
  bool is_open() const { return spd_ != nullptr; }
  // How many connections were opened so far: a new one may reach a restarted daemon.
  int opened() const { return opened_; }
  // Open, but the daemon closed its end (or libspeechd closed ours).
  bool lost() const;
  // Forgets the connection; its pending utterances will never be reported.
  void close();

  // Runs one libspeechd command within `until`. A negative answer is "Operation failed"; an
  // overrun or a lost daemon also closes the connection.
  Result<int> command(Clock::time_point until, const std::function<int(SPDConnection*)>& run);
  // A trivial query: a daemon that cannot answer it will not report the end of speech either.
  Result<int> ping(Clock::time_point until);
  // Set on the daemon and remembered for the next connection.
  Result<void> set_rate(int rate, Clock::time_point until);
  Result<void> set_voice(const std::string& name, Clock::time_point until);
  // The output module the next utterances are spoken by; nullopt while the daemon's default was
  // never changed on this or an earlier connection.
  const std::optional<std::string>& output_module() const { return module_; }
  Result<void> set_output_module(const std::string& module, Clock::time_point until);
  // The daemon then picks the voice for the language tag itself (and forgets a voice name).
  Result<void> set_language(const std::string& tag, Clock::time_point until);

  // Internally locked; shared with libspeechd's reader thread.
  EventTracker& events() { return *events_; }
  // The processes of the daemon last connected to (kept after the connection closes: a daemon
  // that died then shows no more work).
  SynthesizerWatch& watch() { return watch_; }

 private:
  Result<void> close_with(Error error);

  // Declared first so that it outlives the commands it watches. Its own thread fires it.
  Watchdog watchdog_;
  // Shared with libspeechd's reader thread through the registry; internally locked.
  std::shared_ptr<EventTracker> events_ = std::make_shared<EventTracker>();
  // Owner's thread only, like everything below.
  SPDConnection* spd_ = nullptr;
  SocketId socket_id_;
  std::size_t client_id_ = 0;
  bool registered_ = false;  // `client_id_` is in the registry
  std::optional<int> rate_;
  std::optional<std::string> voice_;
  SynthesizerWatch watch_;
  std::optional<std::string> language_;
  std::optional<std::string> module_;
  int opened_ = 0;
};

}  // namespace mdspeak::speechd
