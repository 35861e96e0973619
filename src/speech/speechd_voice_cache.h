// The daemon's plain voices, kept in memory and listed only when a caller needs the list.
//
// Why: the daemon lists every voice once per synthesizer variant (more than 13,000 entries,
// 150 ms to most of a second of its time), and while it lists it answers no other command of any
// client: a speak, a rate change or a cancel sent meanwhile waits for the whole listing (a pause
// pressed during one was measured silencing the sink after 0.73 s instead of 0.05 s). So nothing
// that speaks ever starts a listing or waits for one:
// - `listed()` answers the list it has, however old, or nullopt when none was ever listed (the
//   voice is then chosen by language, see SpeechEngine::configure); the daemon loads its voices
//   when it starts, so the list only changes with a restart;
// - `voices()` (a client asked for the list, or for a voice by name) waits for a new listing when
//   there is none or the one it has is older than ten seconds, so a voice installed meanwhile
//   shows up there and, from then on, everywhere.
// Listing runs on a connection of its own (see speechd_voices.cpp).
//
// Thread contract: the owner's thread (the host's main thread) calls every member; the refresh
// thread touches only the fields marked as shared, always under `mutex_`.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/error.h"
#include "speech/speechd_bounded.h"
#include "speech/tts.h"

namespace mdspeak::speechd {

class VoiceCache {
 public:
  ~VoiceCache() { shut_down(); }

  // The voices listed last without waiting; nullopt while none was ever listed.
  std::optional<std::vector<Voice>> listed();
  // A list no older than ten seconds: waits for a new listing when the one it has is older.
  Result<std::vector<Voice>> voices();
  // The daemon may have been restarted, with other voices: the list is no longer trusted.
  void forget();
  // Aborts a running listing and waits for its thread; no listing starts afterwards.
  void shut_down();

 private:
  void start_refresh_locked();  // caller holds `mutex_`
  void refresh();               // the refresh thread's body

  std::mutex mutex_;
  std::condition_variable listed_;  // a listing finished
  // Shared with the refresh thread, under `mutex_`.
  std::optional<std::vector<Voice>> voices_;
  Clock::time_point listed_at_{};
  std::optional<Error> error_;  // why the last listing failed
  bool refreshing_ = false;
  bool closing_ = false;
  int listing_fd_ = -1;  // the running listing's socket, for `shut_down` to abort it
  // Started under `mutex_`; joined under it by the next start, or by `shut_down`.
  std::thread thread_;
};

}  // namespace mdspeak::speechd
