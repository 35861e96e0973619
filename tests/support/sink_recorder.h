// Records what the speech stack's null sink plays, to prove (and time) real sound.
//
// `scripts/speech-stack up` runs PulseAudio with a null sink named "speech" in its state
// directory; `SinkRecorder` runs `parec` on that sink's monitor and keeps the samples with the
// time each block arrived.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mdspeak {

class SinkRecorder {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kRate = 16000;

  // The PulseAudio socket of our speech stack, when it runs.
  static std::optional<std::string> stack_pulse_socket();

  SinkRecorder() = default;
  SinkRecorder(const SinkRecorder&) = delete;
  SinkRecorder& operator=(const SinkRecorder&) = delete;
  ~SinkRecorder();

  // Starts recording; false (with `error()` set) when parec cannot be started.
  bool start(const std::string& pulse_socket);
  // Waits until parec delivers samples (the null sink's monitor always does, silence included).
  bool wait_until_recording(std::chrono::milliseconds timeout);
  void stop();
  const std::string& error() const { return error_; }

  // Root mean square of the samples received, on a 0..1 scale.
  double rms() const;
  // Same, for the samples that arrived in [from, to).
  double rms_between(Clock::time_point from, Clock::time_point to) const;
  // When the first block arrived after `from` from which on the sink stayed quiet (every block
  // below `threshold`), if it did.
  std::optional<Clock::time_point> quiet_from(Clock::time_point from, double threshold) const;
  // When the first block louder than `threshold` arrived after `from`.
  std::optional<Clock::time_point> sound_from(Clock::time_point from, double threshold) const;
  // The stretches of sound after `from`: [first block at or above `threshold`, first quieter
  // block after it), each separated from the next by at least `gap` of quieter blocks.
  struct Segment {
    Clock::time_point start;
    Clock::time_point end;
  };
  std::vector<Segment> segments(Clock::time_point from, double threshold,
                                Clock::duration gap) const;

 private:
  struct Block {
    Clock::time_point arrived;
    double rms;
    std::vector<std::int16_t> samples;
  };
  void read_loop();

  pid_t pid_ = -1;
  int pipe_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<Block> blocks_;
  std::string error_;
};

}  // namespace mdspeak
