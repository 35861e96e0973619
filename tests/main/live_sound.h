// What the tests of the real binary on the real speech stack share to hear it: the null sink of
// our own stack (scripts/speech-stack), recorded, and the level that counts as sound.
#pragma once

#include <chrono>

#include "support/sink_recorder.h"

namespace mdspeak::testing {

using Clock = std::chrono::steady_clock;

// RMS above which the null sink carries speech.
constexpr double kAudible = 0.003;

// Starts recording the null sink of our own stack; false without one (the test then skips, or
// leaves out what needs sound).
inline bool start_recording(SinkRecorder& recorder) {
  const auto socket = SinkRecorder::stack_pulse_socket();
  return socket && recorder.start(*socket) &&
         recorder.wait_until_recording(std::chrono::seconds(3));
}

}  // namespace mdspeak::testing
