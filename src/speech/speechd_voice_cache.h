// The daemon's plain voices, kept in memory and refreshed in the background.
//
// Why: the daemon lists every voice once per synthesizer variant (more than 13,000 entries, about
// 0.4 s of its time), yet the catalogue is read before every document is spoken. The first
// listing starts in the background when the backend is created; afterwards a read that finds the
// list older than ten seconds starts one new background listing and meanwhile answers with the
// list it has. Reads never wait except for the very first list, and a voice that appears in the
// daemon shows up within one refresh. Listing runs on a connection of its own (see
// speechd_voices.cpp), so speaking is never held up behind it.
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

  // Starts a background listing unless one runs already.
  void refresh_in_background();
  // The voices listed last; waits only when none was ever listed.
  Result<std::vector<Voice>> voices();
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
  // Started and joined by the owner's thread under `mutex_`, or by `shut_down`.
  std::thread thread_;
};

}  // namespace mdspeak::speechd
