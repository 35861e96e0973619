#include "playback.h"

#include <array>

namespace mdspeak::client {

namespace {

using Phase = Playback::Phase;
using Move = Playback::Move;

constexpr std::size_t kPhases = 6;
constexpr std::size_t kMoves = 8;

// Rows: the phase moved from; columns: kSpeak, kPause, kPaused, kPauseFailed, kResume, kFinish,
// kStop, kStopped.
constexpr std::array<std::array<bool, kMoves>, kPhases> kTable = {{
    /* Starting */ {true, false, false, false, false, false, true, false},
    /* Speaking */ {true, true, false, false, false, true, true, true},
    /* Pausing  */ {true, false, true, true, false, false, true, false},
    /* Paused   */ {true, false, false, false, true, false, true, false},
    /* Stopping */ {false, false, false, false, false, false, false, false},
    /* Done     */ {false, false, false, false, false, false, false, false},
}};

}  // namespace

bool Playback::allowed(Phase phase, Move move) {
  return kTable[static_cast<std::size_t>(phase)][static_cast<std::size_t>(move)];
}

bool Playback::enter(Move move, State next) {
  if (!allowed(phase(), move)) return false;
  auto now = Clock::now();
  if (is(Phase::kSpeaking))
    elapsed_ += std::chrono::duration<double>(now - speaking_since_).count();
  state_ = next;
  if (is(Phase::kSpeaking)) speaking_since_ = now;
  return true;
}

double Playback::elapsed(Clock::time_point now) const {
  if (!is(Phase::kSpeaking)) return elapsed_;
  return elapsed_ + std::chrono::duration<double>(now - speaking_since_).count();
}

}  // namespace mdspeak::client
