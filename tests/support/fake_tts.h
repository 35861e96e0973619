// A scripted stand-in for a platform synthesizer, for tests of the speech engine and the host.
//
// `FakeTts` is the test's remote control; `facade()` hands out the `Tts` handle that the engine
// takes over. The control outlives the handle, so a test keeps programming and stepping the fake
// after the engine owns it:
//
//   auto fake = std::make_shared<FakeTts>();
//   fake->set_voices({{"v1", "Alex", Gender::Male, "en-US"}});
//   auto engine = SpeechEngine::create(fake->facade(), std::move(sender));
//   engine->speak("Hello", true);        // queued as "Fake(1)"
//   fake->begin_next();                  // begin callback for Fake(1)
//   fake->end_current();                 // end callback for Fake(1)
//
// Nothing is spoken on its own: utterances wait in a queue until the test steps them. `stop` and
// `speak` with interrupt cancel queued utterances without any callback, as a real synthesizer
// does. `is_speaking` is true while an utterance is current or queued.
//
// Every member is thread-safe: a test thread may step the fake while the host loop drives the
// engine on another. Callbacks are invoked without the fake's lock held, on the stepping thread,
// or on a fresh thread per event after `deliver_on_other_thread(true)`. Once the handle is
// destroyed its callbacks are gone and stepping delivers nothing.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "speech/tts.h"

namespace mdspeak {

// The facade operations whose failures and calls a test can script and count.
enum class FakeOp : std::size_t {
  OnBegin,
  OnEnd,
  Speak,
  Stop,
  IsSpeaking,
  Voices,
  SetVoice,
  SetRate,
  kCount,
};

// One `speak` call as the fake received it, with the rate and voice in force at that moment.
struct FakeUtterance {
  UtteranceId id;
  std::string text;
  bool interrupt = false;
  float rate = 0;
  std::optional<Voice> voice;
  std::vector<WordMark> words;  // as given to `speak_words`; empty for `speak`
};

class FakeTts : public std::enable_shared_from_this<FakeTts> {
 public:
  FakeTts();

  // The handle for the engine. Only one handle may be alive at a time.
  std::unique_ptr<Tts> facade();
  bool facade_alive() const;

  // --- programming ---
  void set_features(const Features& features);
  void set_voices(std::vector<Voice> voices);
  void set_rate_scale(float min, float normal, float max);  // default 0.1 / 0.5 / 2.0
  // `speak` answers without an id, as some backends may.
  void set_return_ids(bool return_ids);
  // Fails every call of `op` from now on with `text`.
  void fail_always(FakeOp op, std::string text = "Operation failed");
  // Fails only the `nth` call of `op` (1-based, counted from the fake's creation).
  void fail_nth(FakeOp op, int nth, std::string text = "Operation failed");
  void deliver_on_other_thread(bool other_thread);
  // What `last_sign_of_life` answers (nullopt, the default: the fake cannot tell).
  void set_sign_of_life(std::optional<std::chrono::steady_clock::time_point> at);
  // Like speech-dispatcher: `listed_voices` answers nullopt until `voices` has been called, and
  // `set_language` is accepted (the voice then is the synthesizer's pick, `voice()` nullopt).
  void list_voices_late(bool late);

  // --- stepping ---
  // Makes the oldest queued utterance current and fires the begin callback. Nothing happens
  // (and nullopt is returned) while an utterance is current or when nothing is queued.
  std::optional<UtteranceId> begin_next();
  // Fires the word callback of the current utterance for its next word, in order (false when
  // none is current or all its words were reported).
  bool next_word();
  // Fires the end callback of the current utterance and clears it; nullopt when none is current.
  std::optional<UtteranceId> end_current();
  // Begins, speaks every word of and ends every queued utterance in order; returns how many were
  // finished.
  std::size_t finish_all();
  // Like `finish_all`, but goes on until `count` utterances have finished, waiting up to
  // `timeout` each time for the host to queue the next one; returns how many finished.
  std::size_t finish(std::size_t count, std::chrono::milliseconds timeout);

  // --- inspection ---
  int calls(FakeOp op) const;
  std::vector<FakeUtterance> queued() const;  // every utterance ever queued, in order
  std::vector<UtteranceId> pending() const;   // current first, then the queue
  std::optional<float> rate() const;          // last rate set, if any
  std::optional<Voice> voice() const;         // last voice set, if any
  std::vector<Voice> voices_set() const;
  std::optional<std::string> language() const;  // last tag given to `set_language`, if any
  bool speaking() const;

 private:
  class Handle;
  friend class Handle;

  struct Failure {
    int nth = 0;  // 0: every call
    std::string text;
  };

  // Counts the call and answers the scripted failure, if any. Caller holds mutex_.
  std::optional<Error> enter(FakeOp op);
  bool feature_on(FakeOp op) const;
  void deliver(const UtteranceCallback& callback, const UtteranceId& id);
  void detach();

  mutable std::mutex mutex_;
  mutable std::condition_variable queued_cv_;
  // Held while a callback runs and while the handle is destroyed, so that no callback can run
  // once the handle is gone.
  std::mutex delivery_mutex_;

  Features features_;
  std::vector<Voice> voices_;
  float min_rate_ = 0.1f;
  float normal_rate_ = 0.5f;
  float max_rate_ = 2.0f;
  bool return_ids_ = true;
  bool other_thread_ = false;
  bool alive_ = false;
  std::array<std::vector<Failure>, static_cast<std::size_t>(FakeOp::kCount)> failures_;
  std::array<int, static_cast<std::size_t>(FakeOp::kCount)> calls_{};

  std::shared_ptr<UtteranceCallback> on_begin_;
  std::shared_ptr<UtteranceCallback> on_end_;
  std::shared_ptr<WordCallback> on_word_;
  std::size_t words_in_current_ = 0;  // words of the current utterance
  std::size_t words_reported_ = 0;    // of them, reported so far
  std::uint64_t next_id_ = 1;
  std::vector<FakeUtterance> queued_;
  std::vector<UtteranceId> queue_;
  std::optional<UtteranceId> current_;
  std::optional<float> rate_;
  std::optional<Voice> voice_;
  std::vector<Voice> voices_set_;
  std::optional<std::chrono::steady_clock::time_point> sign_of_life_;
  bool list_late_ = false;
  bool listed_ = false;
  std::optional<std::string> language_;
};

}  // namespace mdspeak
