#include "speech/word_estimate.h"

#include <algorithm>
#include <system_error>

namespace mdspeak {
namespace {

// About 150 words a minute of ordinary prose at normal speed, the usual pace of these engines.
constexpr double kNormalBytesPerSecond = 15.0;
// Shorter utterances say little of the speed: their pauses weigh too much.
constexpr auto kShortestLesson = std::chrono::milliseconds(300);

}  // namespace

WordEstimator::~WordEstimator() {
  std::thread finishing;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    finishing = std::move(thread_);
  }
  changed_.notify_all();
  if (finishing.joinable()) finishing.join();
}

WordEstimator::Clock::duration WordEstimator::due_after(std::size_t word_start,
                                                        double bytes_per_second) {
  const double seconds = static_cast<double>(word_start) / bytes_per_second;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void WordEstimator::expect(const UtteranceId& id, std::vector<std::size_t> word_starts,
                           std::size_t bytes, float rate) {
  std::lock_guard lock(mutex_);
  if (word_starts.empty()) return;
  const double clamped = std::clamp(static_cast<double>(rate), 0.5, 2.0);
  Pending p{id,           std::move(word_starts),
            bytes,        learnt_bytes_per_second_.value_or(kNormalBytesPerSecond * clamped),
            std::nullopt, 0};
  if (early_begin_ && early_begin_->first == id) {
    p.begun = early_begin_->second;
    early_begin_.reset();
  }
  pending_.push_back(std::move(p));
  start_thread_locked();
  changed_.notify_all();
}

void WordEstimator::begun(const UtteranceId& id, Clock::time_point at) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&id](const Pending& p) { return p.id == id; });
    if (it == pending_.end()) {
      early_begin_.emplace(id, at);
      return;
    }
    it->begun = at;
  }
  changed_.notify_all();
}

void WordEstimator::ended(const UtteranceId& id, Clock::time_point at) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&id](const Pending& p) { return p.id == id; });
  if (it == pending_.end()) return;
  if (it->begun && at - *it->begun >= kShortestLesson) {
    const double seconds = std::chrono::duration<double>(at - *it->begun).count();
    const double measured = static_cast<double>(it->bytes) / seconds;
    learnt_bytes_per_second_ =
        learnt_bytes_per_second_ ? (*learnt_bytes_per_second_ + measured) / 2 : measured;
  }
  while (it->next < it->starts.size()) send_word_locked(*it);
  pending_.erase(it);
}

void WordEstimator::forget_speed() {
  std::lock_guard lock(mutex_);
  learnt_bytes_per_second_.reset();
}

void WordEstimator::cancel_all() {
  std::lock_guard lock(mutex_);
  pending_.clear();
  early_begin_.reset();
}

void WordEstimator::send_word_locked(Pending& p) {
  SpeechEvent event{SpeechEventKind::Word, p.id, p.next};
  event.estimated = true;
  events_.send(std::move(event));
  ++p.next;
}

void WordEstimator::start_thread_locked() {
  if (thread_.joinable() || closing_) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // Without the thread the words are still reported, all at the utterance's end.
  }
}

void WordEstimator::run() {
  std::unique_lock lock(mutex_);
  while (!closing_) {
    // Only the utterance being spoken (the first begun one) has words falling due.
    auto speaking = std::find_if(pending_.begin(), pending_.end(),
                                 [](const Pending& p) { return p.begun.has_value(); });
    if (speaking == pending_.end() || speaking->next >= speaking->starts.size()) {
      changed_.wait(lock);
      continue;
    }
    const Clock::time_point due =
        *speaking->begun + due_after(speaking->starts[speaking->next], speaking->bytes_per_second);
    if (Clock::now() >= due) {
      send_word_locked(*speaking);
      continue;
    }
    changed_.wait_until(lock, due);
  }
}

}  // namespace mdspeak
