// Pieces of the speech-dispatcher backend that need no daemon, kept apart so they can be tested.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "speech/tts.h"

namespace mdspeak::speechd {

// speech-dispatcher's own rate scale.
inline constexpr float kMinRate = -100.0f;
inline constexpr float kNormalRate = 0.0f;
inline constexpr float kMaxRate = 100.0f;

// "SpeechDispatcher(42)" for message 42.
UtteranceId utterance_id(std::size_t message_id);

// The SSML document sent for one utterance: the text XML-escaped inside <speak>, with
// <mark name="N"/> right before word N. Characters XML cannot carry become spaces.
std::string ssml(std::string_view text, std::span<const WordMark> words);

// The word position a mark named by `ssml` stands for; nullopt for any other name.
std::optional<std::size_t> mark_word(std::string_view name);

// One entry of the daemon's voice listing.
struct ListedVoice {
  std::string name;
  std::string language;
  std::string variant;
};

// One SSIP reply, read as it arrives: data lines ("249-English (America)\ten-US\tnone") up to
// the final line ("249 OK VOICE LIST SENT").
class SsipReply {
 public:
  // Takes the next bytes; true once the final line has been read (later bytes are ignored).
  bool feed(std::string_view bytes);
  bool complete() const { return final_.has_value(); }
  // The final line carries a 2xx code.
  bool ok() const;
  const std::vector<std::string>& data() const { return data_; }
  const std::string& final_line() const;

 private:
  void line(std::string_view text);

  std::string partial_;
  std::vector<std::string> data_;
  std::optional<std::string> final_;
};

// One data line of LIST SYNTHESIS_VOICES: name, language and variant separated by tabs.
std::optional<ListedVoice> listed_voice(std::string_view data);

// The plain voices of a listing: the daemon lists every voice once more per variant of its
// synthesizer ("English (America)+Klatt", ...); only the entries whose variant is "none" are
// distinct voices. The name is both id and display name; speech-dispatcher knows no gender.
std::vector<Voice> plain_voices(const std::vector<ListedVoice>& listing);

// Lists the daemon's plain voices on a connection of its own, within `deadline`. libspeechd's
// own listing parses its reply in quadratic time (over a second of CPU for 13,000 lines, minutes
// under a sanitizer), so the few lines of the protocol needed here are spoken directly.
// `on_socket` is told the socket once it is connected; it may shut it down later from another
// thread to abort the listing, or answer false to abort at once.
Result<std::vector<Voice>> list_voices(std::chrono::steady_clock::time_point deadline,
                                       const std::function<bool(int socket)>& on_socket);

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
