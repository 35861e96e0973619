// Word progress for voices whose synthesizer marks no words (pico, flite): each word is reported
// when, by the words' lengths, it should be heard. The clock starts at the utterance's begin;
// the speed is learnt from how long earlier utterances took from begin to end, so the estimate
// improves as the reading goes on. Words not yet reported when the end comes are reported just
// before it, so a client sees every word, in order.
//
// Thread contract: `expect`, `forget_speed` and `cancel_all` run on the engine's thread,
// `begun` and `ended` on the synthesizer's callback thread, and the estimator's own thread sends
// the words that fall due; everything is under `mutex_`, and every event is sent under it, so a
// flushed word never follows its utterance's end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/channel.h"
#include "speech/speech_engine.h"

namespace mdspeak {

class WordEstimator {
 public:
  using Clock = std::chrono::steady_clock;

  explicit WordEstimator(Sender<SpeechEvent> events) : events_(std::move(events)) {}
  WordEstimator(const WordEstimator&) = delete;
  WordEstimator& operator=(const WordEstimator&) = delete;
  ~WordEstimator();

  // The utterance `id`, `bytes` long, is spoken without marks; `word_starts` are the byte
  // offsets of its words, in order. `rate` (1.0 normal) sets the speed until one is learnt.
  void expect(const UtteranceId& id, std::vector<std::size_t> word_starts, std::size_t bytes,
              float rate);
  void begun(const UtteranceId& id, Clock::time_point at = Clock::now());
  void ended(const UtteranceId& id, Clock::time_point at = Clock::now());
  // Another voice or rate: the speed learnt so far no longer holds.
  void forget_speed();
  // Nothing expected is spoken any more (a stop, or speech that interrupts).
  void cancel_all();

  // How long after the utterance's begin a word starting at byte `word_start` is heard, at
  // `bytes_per_second`.
  static Clock::duration due_after(std::size_t word_start, double bytes_per_second);

 private:
  struct Pending {
    UtteranceId id;
    std::vector<std::size_t> starts;
    std::size_t bytes = 0;
    double bytes_per_second = 0;
    std::optional<Clock::time_point> begun;
    std::size_t next = 0;  // the first word not yet reported
  };

  void run();                         // the estimator's thread
  void send_word_locked(Pending& p);  // caller holds `mutex_`
  void start_thread_locked();

  std::mutex mutex_;
  std::condition_variable changed_;
  Sender<SpeechEvent> events_;
  std::vector<Pending> pending_;
  std::optional<double> learnt_bytes_per_second_;
  // A begin that came before `expect` (the synthesizer may start before the id is known).
  std::optional<std::pair<UtteranceId, Clock::time_point>> early_begin_;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace mdspeak
