// Which daemon notifications become the host's begin, word and end callbacks (see `EventTracker`
// in speechd_events.h for the rules and the thread contract).
#include <algorithm>
#include <mutex>
#include <string>

#include "speech/speechd_events.h"

namespace mdspeak::speechd {

UtteranceId utterance_id(std::size_t message_id) {
  return UtteranceId("SpeechDispatcher(" + std::to_string(message_id) + ")");
}

void EventTracker::set_begin(UtteranceCallback callback) {
  std::lock_guard lock(mutex_);
  begin_ = std::move(callback);
}

void EventTracker::set_end(UtteranceCallback callback) {
  std::lock_guard lock(mutex_);
  end_ = std::move(callback);
}

void EventTracker::set_word(WordCallback callback) {
  std::lock_guard lock(mutex_);
  word_ = std::move(callback);
}

void EventTracker::close() {
  UtteranceCallback begin;
  UtteranceCallback end;
  WordCallback word;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    begin = std::move(begin_);
    end = std::move(end_);
    word = std::move(word_);
    begin_ = nullptr;
    end_ = nullptr;
    word_ = nullptr;
  }
  // Whatever the callbacks own is released here, outside the lock.
}

bool EventTracker::ours(std::size_t message_id) const {
  return pending_.contains(message_id) || message_id > highest_queued_;
}

void EventTracker::notify(std::size_t message_id, Kind kind) {
  // The callback runs under the lock, so that `close` cannot return while one is running.
  std::lock_guard lock(mutex_);
  if (closed_) return;
  last_activity_ = Clock::now();
  const UtteranceCallback* callback = nullptr;
  switch (kind) {
    case Kind::Begin:
      if (!ours(message_id)) return;
      in_progress_ = message_id;
      callback = &begin_;
      break;
    case Kind::End:
      if (in_progress_ == message_id) in_progress_ = 0;
      if (pending_.erase(message_id) == 0) {
        if (message_id <= highest_queued_) return;  // cancelled by us
        finished_early_.insert(message_id);
      }
      callback = &end_;
      break;
    case Kind::Cancel:
      if (in_progress_ == message_id) in_progress_ = 0;
      if (pending_.erase(message_id) == 0 && message_id > highest_queued_) {
        finished_early_.insert(message_id);
      }
      return;
  }
  if (*callback) (*callback)(utterance_id(message_id));
}

void EventTracker::notify_word(std::size_t message_id, std::size_t word) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  last_activity_ = Clock::now();
  // Only the utterance being spoken has words; marks of a cancelled one are late news.
  if (in_progress_ != message_id || !word_) return;
  word_(utterance_id(message_id), word);
}

void EventTracker::queued(std::size_t message_id) {
  std::lock_guard lock(mutex_);
  highest_queued_ = std::max(highest_queued_, message_id);
  last_activity_ = Clock::now();
  if (finished_early_.erase(message_id) != 0) return;
  pending_.insert(message_id);
}

void EventTracker::cancel_all() {
  std::lock_guard lock(mutex_);
  in_progress_ = 0;
  pending_.clear();
  finished_early_.clear();
}

void EventTracker::reset() {
  std::lock_guard lock(mutex_);
  in_progress_ = 0;
  pending_.clear();
  finished_early_.clear();
  highest_queued_ = 0;
}

bool EventTracker::speaking() const {
  std::lock_guard lock(mutex_);
  return !pending_.empty();
}

bool EventTracker::stalled(Clock::duration quiet) const {
  std::lock_guard lock(mutex_);
  return !pending_.empty() && in_progress_ == 0 && Clock::now() - last_activity_ >= quiet;
}

EventTracker::Clock::time_point EventTracker::last_activity() const {
  std::lock_guard lock(mutex_);
  return last_activity_;
}

}  // namespace mdspeak::speechd
