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

void VoiceCache::refresh_in_background() {
  std::lock_guard lock(mutex_);
  start_refresh_locked();
}

Result<std::vector<Voice>> VoiceCache::voices() {
  std::unique_lock lock(mutex_);
  if (!voices_) {
    start_refresh_locked();
    listed_.wait_until(lock, Clock::now() + kOpenTimeout + kListTimeout + milliseconds(500),
                       [this] { return voices_.has_value() || !refreshing_; });
    if (!voices_) return fail(error_ ? *error_ : timed_out());
  } else if (Clock::now() - listed_at_ >= kMaxAge) {
    start_refresh_locked();
  }
  return *voices_;
}

void VoiceCache::shut_down() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    if (listing_fd_ >= 0) shutdown(listing_fd_, SHUT_RDWR);
  }
  if (thread_.joinable()) thread_.join();
}

void VoiceCache::start_refresh_locked() {
  if (refreshing_ || closing_) return;
  if (thread_.joinable()) thread_.join();  // finished: refreshing_ is false
  refreshing_ = true;
  try {
    thread_ = std::thread([this] { refresh(); });
  } catch (const std::system_error& e) {
    refreshing_ = false;
    error_ = tts_error::io(e.what());
  }
}

void VoiceCache::refresh() {
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
    error_.reset();
  } else {
    error_ = std::move(listed.error());
  }
  refreshing_ = false;
  listed_.notify_all();
}

}  // namespace mdspeak::speechd
