// The TTS facade: the one small interface between the speech engine and a platform synthesizer.
//
// Why it exists: the engine, voice selection and the host know no synthesizer. The one backend is
// speech-dispatcher (speechd_tts.cpp), which `create_default_tts` returns; tests bring a scripted
// fake. Another synthesizer would be another implementation of this interface.
//
// Thread-safety contract: a `Tts` is owned by one thread and every method is called from that
// thread. The utterance callbacks may be invoked on any thread (the backend's own included); they
// must do nothing but hand the id on (the engine sends it over a channel). A backend never invokes
// a callback after it has been destroyed.
//
// Error texts of the facade: "IO error: " + system error, "Value not received", "Operation
// failed", "Unsupported feature", "Out of range". An operation whose feature flag is false fails
// with "Unsupported feature".
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace mdspeak {

struct Features {
  bool is_speaking = false;
  bool pitch = false;
  bool rate = false;
  bool stop = false;
  bool utterance_callbacks = false;
  bool voice = false;
  bool get_voice = false;
  bool volume = false;
  bool operator==(const Features&) const = default;
};

// "Features { is_speaking: true, pitch: true, ..., volume: true }"
std::string feature_text(const Features& features);

enum class Gender { Male, Female };

struct Voice {
  std::string id;
  std::string name;
  std::optional<Gender> gender;
  std::string language;  // the language tag as the platform reports it, e.g. "en-US"
  // The synthesizer behind the voice where a platform has several ("rhvoice", "espeak-ng");
  // empty where it does not say.
  std::string engine = {};
  bool operator==(const Voice&) const = default;
};

// A backend's opaque id of one queued utterance. Ids of utterances queued at the same time have
// different text forms; the host keys its table by the text form.
class UtteranceId {
 public:
  explicit UtteranceId(std::string text_form) : text_(std::move(text_form)) {}
  const std::string& text() const { return text_; }
  bool operator==(const UtteranceId&) const = default;

 private:
  std::string text_;
};

using UtteranceCallback = std::function<void(const UtteranceId&)>;

// One word of an utterance text: bytes [begin, end). A backend that can mark words reports the
// position of the word in the list it was given when the word's sound begins.
struct WordMark {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool operator==(const WordMark&) const = default;
};
using WordCallback = std::function<void(const UtteranceId&, std::size_t word)>;

namespace tts_error {
inline constexpr std::string_view kValueNotReceived = "Value not received";
inline constexpr std::string_view kOperationFailed = "Operation failed";
inline constexpr std::string_view kUnsupportedFeature = "Unsupported feature";
inline constexpr std::string_view kOutOfRange = "Out of range";
inline Error io(std::string_view system_error) {
  return Error("IO error: " + std::string(system_error));
}
}  // namespace tts_error

class Tts {
 public:
  virtual ~Tts() = default;

  virtual Features supported_features() const = 0;
  // Begin runs when an utterance starts, end when it finishes normally; neither for a cancelled
  // utterance. Refused with "Unsupported feature" without utterance callbacks.
  virtual Result<void> on_utterance_begin(UtteranceCallback callback) = 0;
  virtual Result<void> on_utterance_end(UtteranceCallback callback) = 0;
  // Queues `text` as one utterance; with `interrupt`, whatever is being spoken stops first.
  virtual Result<std::optional<UtteranceId>> speak(std::string_view text, bool interrupt) = 0;
  // Like `speak`, and reports each of `words` (ranges of `text`, in order) as its sound begins.
  // A backend without word marks speaks the text unmarked.
  virtual Result<std::optional<UtteranceId>> speak_words(std::string_view text,
                                                         std::span<const WordMark> words,
                                                         bool interrupt) {
    (void)words;
    return speak(text, interrupt);
  }
  // Runs like the utterance callbacks, between an utterance's begin and its end. Refused with
  // "Unsupported feature" by a backend without word marks.
  virtual Result<void> on_word(WordCallback callback) {
    (void)callback;
    return fail(Error(std::string(tts_error::kUnsupportedFeature)));
  }
  virtual Result<void> stop() = 0;
  virtual Result<bool> is_speaking() = 0;
  // When the synthesizer last showed that it is still at work (a begin, word or end, or its
  // processes busy), also while it says nothing for a long word or while it speaks for another
  // client first; nullopt when the backend cannot tell. The host gives up on speech that has
  // made no progress and shown no sign of life for seconds.
  virtual std::optional<std::chrono::steady_clock::time_point> last_sign_of_life() {
    return std::nullopt;
  }
  virtual Result<std::vector<Voice>> voices() = 0;
  // The voices without waiting for the platform: nullopt while a backend whose listing is slow
  // has not listed them yet. By default, `voices()`.
  virtual Result<std::optional<std::vector<Voice>>> listed_voices() {
    auto all = voices();
    if (!all) return fail(std::move(all.error()));
    return std::optional<std::vector<Voice>>(std::move(*all));
  }
  virtual Result<void> set_voice(const Voice& voice) = 0;
  // Lets the synthesizer pick its own voice for a language tag ("en-US") for utterances queued
  // afterwards. Refused with "Unsupported feature" by a backend that cannot.
  virtual Result<void> set_language(std::string_view tag) {
    (void)tag;
    return fail(Error(std::string(tts_error::kUnsupportedFeature)));
  }
  virtual float min_rate() const = 0;
  virtual float normal_rate() const = 0;
  virtual float max_rate() const = 0;
  // Refused with "Out of range" outside min_rate()..max_rate().
  virtual Result<void> set_rate(float rate) = 0;
};

// The speech-dispatcher backend; fails when no working synthesizer can be reached.
Result<std::unique_ptr<Tts>> create_default_tts();

}  // namespace mdspeak
