// Unbounded first-in first-out channels between threads.
//
// The host has two: requests from the stdin reader, speech events from the synthesizer's
// callbacks. The main loop must wake for either within microseconds, so several channels can
// share one `Wakeup`: every send bumps it, and the loop waits on the wakeup instead of on one
// channel. A channel is "disconnected" once every `Sender` is gone; the receiver still gets what
// was sent before.
//
// Thread safety: `Sender` may be copied and used from any thread; sending never blocks (beyond a
// short mutex hold). `Receiver` belongs to one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace mdspeak {

class Wakeup {
 public:
  // The current generation; pass it to `wait_for` to sleep until something newer happens.
  std::uint64_t generation() const {
    std::lock_guard lock(mutex_);
    return generation_;
  }
  void notify() {
    {
      std::lock_guard lock(mutex_);
      ++generation_;
    }
    cv_.notify_all();
  }
  // Returns true when woken by a notify after `seen`, false on timeout.
  template <class Rep, class Period>
  bool wait_for(std::uint64_t seen, std::chrono::duration<Rep, Period> timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return generation_ != seen; });
  }

 private:
  // Every thread that sends or waits reaches these, always under `mutex_`.
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::uint64_t generation_ = 0;
};

namespace detail {
// Shared by every sender's thread and the receiver's; all fields under `mutex` except `wakeup`,
// which is set before the channel is handed out and locks itself.
template <class T>
struct ChannelState {
  std::mutex mutex;
  std::deque<T> queue;
  std::size_t senders = 1;
  bool receiver_alive = true;
  std::shared_ptr<Wakeup> wakeup;
};
}  // namespace detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { release(); }

  // Queues `value`. Returns false when the receiver is gone (the value is dropped).
  bool send(T value) const {
    if (!state_) return false;
    {
      std::lock_guard lock(state_->mutex);
      if (!state_->receiver_alive) return false;
      state_->queue.push_back(std::move(value));
    }
    state_->wakeup->notify();
    return true;
  }

 private:
  void release() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      --state_->senders;
    }
    state_->wakeup->notify();
    state_.reset();
  }
  std::shared_ptr<detail::ChannelState<T>> state_;
};

enum class TryRecv { Value, Empty, Disconnected };

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_alive = false;
    state_->queue.clear();
  }

  // Takes the oldest value without waiting. `Disconnected` only once the queue is empty and
  // every sender is gone.
  TryRecv try_recv(std::optional<T>& out) {
    std::lock_guard lock(state_->mutex);
    if (!state_->queue.empty()) {
      out.emplace(std::move(state_->queue.front()));
      state_->queue.pop_front();
      return TryRecv::Value;
    }
    return state_->senders == 0 ? TryRecv::Disconnected : TryRecv::Empty;
  }

  const std::shared_ptr<Wakeup>& wakeup() const { return state_->wakeup; }

 private:
  std::shared_ptr<detail::ChannelState<T>> state_;
};

// A new channel; pass a shared wakeup to let one thread wait on several channels.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(
    std::shared_ptr<Wakeup> wakeup = std::make_shared<Wakeup>()) {
  auto state = std::make_shared<detail::ChannelState<T>>();
  state->wakeup = std::move(wakeup);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace mdspeak
