// Which of this client's messages speech-dispatcher still has to speak, and which of the daemon's
// notifications become the host's begin, word and end callbacks. Kept apart from the connection
// so that the rules are tested without a daemon.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <unordered_set>

#include "speech/tts.h"

namespace mdspeak::speechd {

// "SpeechDispatcher(42)" for message 42.
UtteranceId utterance_id(std::size_t message_id);

// Follows which of this client's messages are still to be spoken, and decides which daemon
// notifications become begin/end callbacks.
//
// The daemon may notify about a message before `spd_say` has returned its id to us; such early
// ids are larger than every id registered so far (the daemon numbers messages in order) and are
// passed on. Notifications for messages that were cancelled by us (a stop, or a speak with
// interrupt) are dropped, so a cancelled message never yields an end. Thread-safe: notifications
// arrive on libspeechd's reader thread, everything else on the owner's thread.
class EventTracker {
 public:
  enum class Kind { Begin, End, Cancel };
  using Clock = std::chrono::steady_clock;

  void set_begin(UtteranceCallback callback);
  void set_end(UtteranceCallback callback);
  void set_word(WordCallback callback);
  // Drops the callbacks (and whatever they own); nothing is delivered afterwards.
  void close();

  // A notification from the daemon; runs the matching callback, if any, before returning.
  void notify(std::size_t message_id, Kind kind);
  // An index mark of the utterance being spoken: word `word` begins.
  void notify_word(std::size_t message_id, std::size_t word);
  // `spd_say` returned this id.
  void queued(std::size_t message_id);
  // Everything queued so far is cancelled: late notifications about it are dropped.
  void cancel_all();
  // A new connection (perhaps to a restarted daemon, which numbers messages from 1 again).
  void reset();

  bool speaking() const;
  // Utterances are pending, none of them has begun, and the daemon has said nothing about our
  // messages for `quiet`: a daemon whose audio output is dead queues work and never speaks it.
  bool stalled(Clock::duration quiet) const;
  // When the daemon last showed a sign of life about our messages (queueing or a notification).
  Clock::time_point last_activity() const;

 private:
  bool ours(std::size_t message_id) const;

  // Every field below is reached by the owner's thread and libspeechd's reader thread, always
  // under `mutex_`.
  mutable std::mutex mutex_;
  UtteranceCallback begin_;
  UtteranceCallback end_;
  WordCallback word_;
  bool closed_ = false;
  std::unordered_set<std::size_t> pending_;
  // Ids that ended (or were cancelled) before `queued` saw them.
  std::unordered_set<std::size_t> finished_early_;
  std::size_t highest_queued_ = 0;
  std::size_t in_progress_ = 0;  // begun and not yet ended or cancelled; 0 when none
  Clock::time_point last_activity_ = Clock::now();
};

}  // namespace mdspeak::speechd
