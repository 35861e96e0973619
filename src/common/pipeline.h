// The load path's hand-offs between two threads: a bounded channel of batches and a worker
// thread scoped to the stage that starts it.
//
// Loading a large document runs as stages, each on its own thread where one can be started:
// the stdin reader decodes a long line ahead while it still arrives, md4c's events go to the
// walker, the walker's text goes to language detection, and section profiles are shared by two
// threads. Each stage hands work over in batches (a vector of events, a run of text) so that a
// lock is taken per batch, not per item, and a bounded number of batches is in flight, so memory
// stays small however long the document. Batches read are given back empty and reused by the
// producer: their room is allocated once.
//
// Thread contract:
// - `BatchChannel`: one producing thread calls `put`, `try_put` and `close`; one consuming
//   thread calls `take` and `give_back`; `cancel` may come from either. A batch belongs to one
//   thread at a time: the producer's until `put`, the consumer's from `take` to `give_back`.
// - `ScopedWorker`: owned by one thread, which starts and joins it. The work must end by
//   itself or once its channel is closed or cancelled: close the channel before the worker is
//   joined (the `on_stop` hook given at construction does it on every way out).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace mdspeak {

// `Batch` is a container with `clear()` (a vector, a string): cleared batches keep their room.
template <class Batch>
class BatchChannel {
 public:
  explicit BatchChannel(std::size_t in_flight) : in_flight_(in_flight) {}
  BatchChannel(const BatchChannel&) = delete;
  BatchChannel& operator=(const BatchChannel&) = delete;

  // Producer: hands `batch` over, waiting while `in_flight` batches are unread, and leaves a
  // spare (empty, with room when one was given back) in its place. False when the consumer
  // cancelled: the batch is dropped.
  bool put(Batch& batch) {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return full_.size() < in_flight_ || cancelled_; });
    return push(lock, batch);
  }
  // Producer: as `put`, but false at once, with `batch` left as it was, when the channel is full.
  bool try_put(Batch& batch) {
    std::unique_lock lock(mutex_);
    if (full_.size() >= in_flight_) return false;
    return push(lock, batch);
  }
  // Producer: nothing more comes. `last`, when not empty, is handed over first.
  void close(Batch&& last = Batch()) {
    {
      std::lock_guard lock(mutex_);
      if (!cancelled_ && !last.empty()) full_.push_back(std::move(last));
      closed_ = true;
    }
    ready_.notify_all();
  }
  // Either side: stop both; unread batches are dropped, waits end.
  void cancel() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = closed_ = true;
      full_.clear();
    }
    ready_.notify_all();
    room_.notify_all();
  }

  // Consumer: waits for the oldest batch; nothing once the channel is closed and drained.
  std::optional<Batch> take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !full_.empty() || closed_; });
    return pop(lock);
  }
  // Consumer: the oldest batch if one is there, without waiting.
  std::optional<Batch> try_take() {
    std::unique_lock lock(mutex_);
    return pop(lock);
  }
  // Consumer: a batch read, kept for its room.
  void give_back(Batch&& batch) {
    batch.clear();
    std::lock_guard lock(mutex_);
    spare_.push_back(std::move(batch));
  }

 private:
  bool push(std::unique_lock<std::mutex>& lock, Batch& batch) {
    if (cancelled_) return false;
    full_.push_back(std::move(batch));
    batch = Batch();
    if (!spare_.empty()) {
      batch = std::move(spare_.back());
      spare_.pop_back();
    }
    lock.unlock();
    ready_.notify_one();
    return true;
  }
  std::optional<Batch> pop(std::unique_lock<std::mutex>& lock) {
    if (full_.empty()) return std::nullopt;
    std::optional<Batch> batch(std::move(full_.front()));
    full_.pop_front();
    lock.unlock();
    room_.notify_one();
    return batch;
  }

  const std::size_t in_flight_;
  std::mutex mutex_;
  std::condition_variable ready_;  // a batch came, or the end
  std::condition_variable room_;   // a batch was taken, or the end
  std::deque<Batch> full_;
  std::vector<Batch> spare_;
  bool closed_ = false;
  bool cancelled_ = false;
};

// A thread that is joined when its owner's scope ends. `on_stop`, when given, runs before that
// join (on the owner's thread) to make the work end.
class ScopedWorker {
 public:
  explicit ScopedWorker(std::function<void()> on_stop = {}) : on_stop_(std::move(on_stop)) {}
  ScopedWorker(const ScopedWorker&) = delete;
  ScopedWorker& operator=(const ScopedWorker&) = delete;
  ~ScopedWorker() { stop(); }

  // Starts `work` on a thread; false when none could be started (nothing ran then).
  template <class F>
  bool start(F&& work) {
    try {
      thread_ = std::thread(std::forward<F>(work));
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  // Starts `work` on a thread, or runs it here when no thread starts. True when it runs apart.
  template <class F>
  bool run(F&& work) {
    if (start(work)) return true;
    work();
    return false;
  }

  bool running() const { return thread_.joinable(); }
  // Waits for the work to end (it must end by itself).
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // Tells the work to end, then waits for it.
  void stop() {
    if (!thread_.joinable()) return;
    if (on_stop_) on_stop_();
    thread_.join();
  }

 private:
  std::function<void()> on_stop_;
  std::thread thread_;
};

}  // namespace mdspeak
