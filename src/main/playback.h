// The playback state machine: what the synthesizer is saying for the service, how far it got,
// what a pause kept, and whether speech has stalled.
//
// Why it exists: the synthesizer gets a small window of utterances at a time (long ones in
// parts), reports begin/word/end events by its own ids, can be paused only by being stopped, and
// can freeze. Keeping all of that in one place, with one writer per field, is what lets a pause
// resume at the word being heard and a frozen synthesizer be given up on without losing track.
//
// States (`state()`) and transitions; anything not listed leaves the state as it is:
//
//   from      on                                    to        also
//   any       speak, something selected             Speaking  pause dropped; first window handed
//                                                             (Idle when the synthesizer refuses)
//   Paused    speak, nothing selected               Idle      nothing else touched
//   any       stop                                  Idle      pause dropped
//   Speaking  pause                                 Paused    position kept, clock stopped
//   Paused    resume                                Speaking  position handed from its word
//   Paused    the paused document replaced          Idle
//   Speaking  end of the last utterance             Idle
//   Speaking  stall (no progress, no life)          Idle      failure kept for take_failure
//   any       silence (the service is ending)       Idle
//
// A refused stop leaves the table as it was (but the pause is dropped); a refused configure on
// resume leaves the pause; a refused stop on pause keeps the position. Paused holds no handed
// utterance, so a stall cannot fire while paused, and events of the utterances the pause
// stopped are dropped. Speech given up on is reported by `take_failure` once the utterances
// handed before it have ended; a new speak or a stop forgets it.
//
// One owner per field: the pause position is set by `pause` and dropped only by `take_pause`;
// the stall clock is moved only by `set_clock`; where the text still to say starts is
// `SpokenUtterance::start_of`. Main thread only; the engine's callbacks reach it as events
// the main loop hands to `on_event`.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"
#include "language/language.h"
#include "main/spoken_table.h"
#include "markdown/markdown.h"
#include "protocol/protocol.h"
#include "speech/pronunciations.h"
#include "speech/speech_engine.h"

namespace mdspeak {

// How speech is said; kept with a pause so that a resume says the rest alike.
struct Voicing {
  std::optional<SupportedLanguage> language;  // the text's, for the voice and pronunciations
  std::optional<std::string> voice_id;
  float rate = 1.0f;
  bool word_events = false;
};

// What to say and how: the utterances of `utterances` that overlap [start_offset, end_offset).
struct SpeechOrder {
  // A document's own utterances map each word to its exact source bytes through `source_map`;
  // generated text (the summary) has no bytes of its own: each word gets its utterance's range.
  enum class Text { Document, Generated };

  std::string document_id;
  Text text = Text::Document;
  std::span<const Utterance> utterances;
  const TextSourceMap* source_map = nullptr;  // for `Text::Document`: the map of `utterances`
  std::optional<std::uint64_t> start_offset;
  std::optional<std::uint64_t> end_offset;
  // Natural reading: each utterance is said by a voice of its own language, `languages[i]` for
  // utterance i of `utterances`, or `how.language` past the end of `languages`.
  bool passages = false;
  std::span<const std::optional<SupportedLanguage>> languages;
  Voicing how;
};

class SpeechPlayback {
 public:
  enum class State { Idle, Speaking, Paused };

  // The synthesizer holds at most the utterance being spoken and the next one; the rest waits
  // here, so `speak` answers at once for any length, a `stop` has little to cancel, and a
  // service killed outright leaves at most one more utterance behind. The next is already
  // queued when the current ends, so the gap between them does not grow.
  static constexpr std::size_t kWindow = 2;
  // A synthesizer that stalls (a frozen module or daemon, a dead audio path) would keep an
  // utterance begun, or waiting to begin, for ever. Speech is stalled when it has made no
  // progress (handed over, begun, a word, an end) and the synthesizer has shown no sign of life
  // (`SpeechEngine::last_sign_of_life`) for `kStallQuiet`; a long word or a wait behind another
  // client's speech keeps the synthesizer busy and is not a stall. A backend that cannot tell
  // gets what the remaining text can take at its rate with a wide margin instead.
  static constexpr std::chrono::seconds kStallQuiet{5};
  // Before anything of ours has been heard, a synthesizer that shows no life is most likely one
  // without an audio output (speech-dispatcher's output failed to open): given up on sooner, and
  // said as such (the daemon still reports the first word's mark: the audio fails after it).
  static constexpr std::chrono::milliseconds kFirstSoundQuiet{2200};

  // `engine_error` says why there is no engine, when there is none.
  explicit SpeechPlayback(std::optional<SpeechEngine> engine = std::nullopt,
                          std::optional<std::string> engine_error = std::nullopt)
      : engine_(std::move(engine)), engine_error_(std::move(engine_error)) {}

  // The engine created late (by the first request that needs one), or why it could not be.
  void attach_engine(Result<SpeechEngine> created);
  SpeechEngine* engine() { return engine_ ? &*engine_ : nullptr; }
  const std::optional<std::string>& engine_error() const { return engine_error_; }
  // The failure used when there is no engine.
  Error unavailable_error() const;
  // What the synthesizer says for the user's listed words (null: the texts as they are).
  void use_pronunciations(std::shared_ptr<const PronunciationList> list) {
    pronunciations_ = std::move(list);
  }

  State state() const;
  bool paused() const { return paused_.has_value(); }

  // Drops any pause, then selects, configures, stops and hands the first window over; returns
  // the number selected. An empty selection touches nothing else, even without an engine.
  Result<std::uint64_t> speak(const SpeechOrder& order);
  Result<void> stop();
  // Keeps where speech stands and silences the synthesizer; false when nothing is being said.
  // A failed stop is reported, and the position is still kept.
  Result<bool> pause();
  // Speaks the kept position, from the word being heard, with the rate and voice changed where
  // given; nullopt when nothing is paused (or there is no engine), else how many utterances.
  Result<std::optional<std::uint64_t>> resume(std::optional<float> rate,
                                              const std::optional<std::string>& voice_id);
  // A position in `document_id` belongs to the text it was taken from: dropped when that changes.
  void drop_position_in(const std::string& document_id);
  // Cancels the service's own speech and forgets every position (the process is ending).
  void silence();

  // The message a speech event stands for; nothing for events of utterances no longer in the
  // spoken table, and for words when the client did not ask for them.
  std::optional<Message> on_event(const SpeechEvent& event);
  // Gives up on stalled speech as on a stop, cancelling it in the synthesizer, and keeps the
  // utterance for `take_failure`; true when it gave up. With `report`, the failure is handed to
  // it before the synthesizer is told: a daemon without an audio output takes seconds to refuse
  // the cancel, and the client should not wait for that to learn why nothing is heard.
  bool give_up_if_stalled(std::chrono::steady_clock::time_point now,
                          const std::function<void(Message)>& report = {});
  // The `utterance_failed` for speech given up on, once every utterance handed to the
  // synthesizer before it has ended; only for clients that asked for word events (others see
  // what they always saw: no end).
  std::optional<Message> take_failure();

  // The utterances handed to the synthesizer and not yet ended, and those still to hand over.
  const SpokenTable& spoken() const { return spoken_; }
  // True while the synthesizer says it is still speaking or, when it cannot tell, while some
  // handed utterance has not ended. False without an engine.
  bool speech_outstanding();
  // How many utterances have been handed to the synthesizer so far.
  std::uint64_t handed_count() const { return handed_; }

 private:
  struct PausedSpeech {
    std::string document_id;
    Voicing how;
    std::vector<SpokenUtterance> rest;  // the interrupted utterance first
  };
  // Speech given up on: reported from this utterance on.
  struct Failure {
    SpokenUtterance utterance;
    std::string reason;
  };

  // The only place the pause is left: returns it (if any) and forgets it.
  std::optional<PausedSpeech> take_pause();
  // Makes `utterances` what is to be spoken and hands the first window of them to the
  // synthesizer, the first one interrupting whatever it was saying; the clock then waits for
  // the first to begin.
  Result<void> hand_over(std::vector<SpokenUtterance> utterances);
  // Hands waiting utterances over (each from its `first_word`) until the window is full.
  Result<void> feed(bool interrupt_first);
  // Hands one utterance (or its next part) to the synthesizer.
  Result<std::optional<UtteranceId>> hand_one(SpokenUtterance& u, bool interrupt);
  // Empties the spoken table; nothing is then overdue.
  void forget_spoken();
  // The only writer of the stall clock: `due` still has its text from word `word` on to say
  // (null: nothing is due, the clock stops).
  void set_clock(const SpokenUtterance* due, std::size_t word = 0);
  // The clock waits for the first utterance in the table (or stops when there is none).
  void wait_for_front();
  std::optional<Message> on_begin(const std::string& key);
  std::optional<Message> on_word(const std::string& key, const SpeechEvent& event);
  std::optional<Message> on_end(const std::string& key);

  std::optional<SpeechEngine> engine_;
  std::optional<std::string> engine_error_;
  std::shared_ptr<const PronunciationList> pronunciations_;
  SpokenTable spoken_;
  std::string document_id_;  // of what is spoken
  Voicing how_;              // of what is spoken
  std::uint64_t handed_ = 0;
  std::optional<std::chrono::steady_clock::time_point> overdue_at_;
  std::chrono::steady_clock::time_point progress_at_{};  // the last progress, while overdue_at_
  std::optional<Failure> failure_;
  bool heard_ = false;  // an utterance of ours has ended: the audio output works
  std::optional<SpokenUtterance> unqueued_;  // the utterance the last failed `feed` could not hand
  std::optional<PausedSpeech> paused_;
};

}  // namespace mdspeak
