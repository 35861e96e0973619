// Waiting for a channel's next value the way the service's main loop does: note the wakeup's
// generation, look, and sleep on the wakeup only if nothing was there.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/channel.h"

namespace mdspeak {

// The next value, or nullopt once `timeout` passed or every sender is gone.
template <class T>
std::optional<T> next_value(Receiver<T>& receiver, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::uint64_t seen = receiver.wakeup()->generation();
    std::optional<T> out;
    const TryRecv got = receiver.try_recv(out);
    if (got == TryRecv::Value) return out;
    const auto now = std::chrono::steady_clock::now();
    if (got == TryRecv::Disconnected || now >= deadline) return std::nullopt;
    receiver.wakeup()->wait_for(seen, deadline - now);
  }
}

}  // namespace mdspeak
