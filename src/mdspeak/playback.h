// Where a reading stands: the phases of playback and the one table of moves between them.
//
// State contract. The session owns one `Playback`, on its one thread, and changes the phase only
// through the moves below; a move from a phase the table does not list is refused (false) and
// changes nothing, so a key pressed at the wrong time, or an answer that comes late, cannot put
// the reading in a state it has no way out of.
//
//   phase      what is true                                   moves out
//   Starting   nothing sent to speak yet                      speak, stop
//   Speaking   the service speaks (or was asked to)           pause, stopped_for_pause,
//                                                             finish, speak, stop
//   Pausing    a pause was sent, its answer is awaited        paused, pause_failed, speak, stop
//   Paused     silent; `exact` when the service keeps the     resume, speak, stop
//              place (else the utterance starts again: a
//              service without pause is stopped instead)
//   Stopping   a stop was sent before exiting with `code`     (none: the session ends)
//   Done       the reading ran to its end                     (none)
//
// Speaking time is counted here too (the only clock that knows when speech runs): from each move
// into Speaking to the next move out of it.
#pragma once

#include <chrono>
#include <variant>

namespace mdspeak::client {

class Playback {
 public:
  using Clock = std::chrono::steady_clock;

  struct Starting {};
  struct Speaking {};
  struct Pausing {
    Clock::time_point answer_by;  // a service without pause never answers
    bool then_resume = false;     // pressed again, or a rate change: resume once paused
  };
  struct Paused {
    bool exact = false;
  };
  struct Stopping {
    int code = 0;
    Clock::time_point answer_by;
  };
  struct Done {};
  using State = std::variant<Starting, Speaking, Pausing, Paused, Stopping, Done>;

  enum class Phase { kStarting, kSpeaking, kPausing, kPaused, kStopping, kDone };
  enum class Move { kSpeak, kPause, kPaused, kPauseFailed, kResume, kFinish, kStop, kStopped };

  // Whether `move` may be made from `phase`: the table above.
  static bool allowed(Phase phase, Move move);

  Phase phase() const { return static_cast<Phase>(state_.index()); }
  bool is(Phase phase) const { return this->phase() == phase; }
  // Neither stopping nor done: keys and speech still matter.
  bool live() const { return !is(Phase::kStopping) && !is(Phase::kDone); }
  template <class T>
  T* as() {
    return std::get_if<T>(&state_);
  }

  bool speak() { return enter(Move::kSpeak, Speaking{}); }
  bool pause(Clock::time_point answer_by, bool then_resume) {
    return enter(Move::kPause, Pausing{answer_by, then_resume});
  }
  // The pause was answered (whether a resume is wanted now is the `Pausing` state's to say).
  bool paused(bool exact) { return enter(Move::kPaused, Paused{exact}); }
  bool pause_failed() { return enter(Move::kPauseFailed, Speaking{}); }
  // Paused without the service's pause: the speech was stopped, no answer is awaited.
  bool stopped_for_pause() { return enter(Move::kStopped, Paused{false}); }
  bool resume() { return enter(Move::kResume, Speaking{}); }
  bool finish() { return enter(Move::kFinish, Done{}); }
  bool stop(int code, Clock::time_point answer_by) {
    return enter(Move::kStop, Stopping{code, answer_by});
  }

  // Seconds spent speaking so far.
  double elapsed(Clock::time_point now) const;

 private:
  bool enter(Move move, State next);

  State state_;
  double elapsed_ = 0;
  Clock::time_point speaking_since_;
};

}  // namespace mdspeak::client
