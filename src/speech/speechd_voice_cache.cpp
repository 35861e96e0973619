// The voice cache and its refresh thread (see speechd_voice_cache.h for why and for the thread
// contract).
#include "speech/speechd_voice_cache.h"

#include <sys/socket.h>

#include <system_error>
#include <utility>

#include "speech/speechd_ssip.h"

namespace mdspeak::speechd {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kListTimeout{10000};
constexpr std::chrono::seconds kMaxAge{10};

}  // namespace

std::optional<std::vector<Voice>> VoiceCache::listed() {
  std::lock_guard lock(mutex_);
  return voices_;
}

Result<std::vector<Voice>> VoiceCache::voices() {
  std::unique_lock lock(mutex_);
  if (voices_ && Clock::now() - listed_at_ < kMaxAge) return *voices_;
  const Clock::time_point asked = Clock::now();
  start_refresh_locked();
  listed_.wait_until(lock, asked + kOpenTimeout + kListTimeout + milliseconds(500),
                     [&] { return !refreshing_; });
  // A listing that failed leaves the older list standing: better than no answer.
  if (voices_) return *voices_;
  return fail(error_ ? *error_ : timed_out());
}

void VoiceCache::forget() {
  std::lock_guard lock(mutex_);
  voices_.reset();
}

void VoiceCache::shut_down() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    if (listing_fd_ >= 0) shutdown(listing_fd_, SHUT_RDWR);
  }
  std::thread finishing;
  {
    std::lock_guard lock(mutex_);
    finishing = std::move(thread_);
  }
  if (finishing.joinable()) finishing.join();
}

void VoiceCache::start_refresh_locked() {
  if (refreshing_ || closing_) return;
  if (thread_.joinable()) thread_.join();  // finished: refreshing_ is false
  refreshing_ = true;
  error_.reset();
  try {
    thread_ = std::thread([this] { refresh(); });
  } catch (const std::system_error& e) {
    refreshing_ = false;
    error_ = tts_error::io(e.what());
  }
}

void VoiceCache::refresh() {
  block_sigpipe_in_this_thread();
  auto listed = list_voices(Clock::now() + kListTimeout, [this](int socket) {
    std::lock_guard lock(mutex_);
    if (socket >= 0 && closing_) return false;
    listing_fd_ = socket;
    return true;
  });
  std::lock_guard lock(mutex_);
  if (listed) {
    voices_ = std::move(*listed);
    listed_at_ = Clock::now();
  } else {
    error_ = std::move(listed.error());
  }
  refreshing_ = false;
  listed_.notify_all();
}

}  // namespace mdspeak::speechd
