// The speech engine: the service's only door to the synthesizer.
//
// `SpeechEngine` wraps a `Tts` facade, gives every facade failure a fixed context message
// ("failed to queue speech", ...), turns the facade's begin/end callbacks into `SpeechEvent`s sent
// over the host's event channel, and chooses voice and rate before a document is spoken
// (`configure`). It is owned and used by the main thread only; only its callbacks run elsewhere,
// and they only send on the channel.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/error.h"
#include "language/language.h"
#include "protocol/protocol.h"
#include "speech/tts.h"
#include "speech/voice_ranking.h"

namespace mdspeak {

enum class SpeechEventKind : std::uint8_t { UtteranceBegin, UtteranceEnd, Word };

struct SpeechEvent {
  SpeechEventKind kind;
  UtteranceId id;
  std::size_t word = 0;    // Word: position in the word list the utterance was queued with
  bool estimated = false;  // Word: reckoned from the words' lengths, the voice marks none
};

class WordEstimator;

// Quality score of a voice for ranking and automatic choice.
std::int32_t voice_priority(const Voice& voice, std::optional<SupportedLanguage> language);
bool language_matches_voice(SupportedLanguage language, const Voice& voice);

// The person's locale as POSIX finds it for messages: LC_ALL, else LC_MESSAGES, else LANG (the
// first one set and not empty); empty when none is.
std::string person_locale_from_environment();

// Ties of the ranking are broken by how close a voice's language tag ("en-GB") is to the person's
// locale ("en_GB.UTF-8"); lower is closer. The person's language comes before the other one, and
// within a language the person's region comes first, then the language's most common region
// (en-US, es-ES), then the rest.
int locale_closeness(std::string_view voice_language, std::string_view person_locale);

// The language tag a synthesizer that picks voices by language is asked for when the voice list
// is not at hand: the language's code ("en", "es"; undecided: the person's language if it is one
// of them, else English) with the region the ranking puts first (the person's own region within
// their language, else US or ES): "en-GB" for English with LANG=en_GB.UTF-8, else "en-US".
std::string language_tag(std::optional<SupportedLanguage> language, std::string_view person_locale);

// The voice for speech in `language` from `catalogue` (ranked, best first): the user's voice when
// it is listed and speaks that language (any voice when the language is undecided), else the
// first voice of the language, else (none speaks it, or the catalogue is empty) null. The one
// place that decides; other voices or rankings plug in by how the catalogue is built.
const Voice* best_voice(std::span<const Voice> catalogue, std::optional<SupportedLanguage> language,
                        const std::optional<std::string>& user_voice);

class SpeechEngine {
 public:
  // The platform's default facade ("failed to initialize system TTS" when it cannot be created).
  static Result<SpeechEngine> create(Sender<SpeechEvent> events);
  // A given facade (tests, other backends); voices are ranked for `person_locale`.
  static Result<SpeechEngine> create(std::unique_ptr<Tts> tts, Sender<SpeechEvent> events,
                                     std::string person_locale = {});

  SpeechEngine(SpeechEngine&&) noexcept = default;
  SpeechEngine& operator=(SpeechEngine&&) noexcept = default;

  Result<std::optional<UtteranceId>> speak(std::string_view text, bool interrupt);
  // Also sends a Word event as each of `words` begins, when the facade can mark words.
  Result<std::optional<UtteranceId>> speak(std::string_view text, std::span<const WordMark> words,
                                           bool interrupt);
  Result<void> stop();
  Result<bool> is_speaking();
  // See `Tts::last_sign_of_life`.
  std::optional<std::chrono::steady_clock::time_point> last_sign_of_life();
  Features features() const;

  // English and Spanish voices, best first.
  Result<std::vector<Voice>> supported_voices();
  // With `details`, each voice's engine and word timing as well.
  Result<std::vector<VoiceInfo>> voices(bool details = false);
  // Maps `rate` (1.0 normal, clamped to 0.5..2.0) onto the facade's scale and sets it, then sets
  // the requested voice when it fits `language`, else the best voice for `language`. Before the
  // facade has listed its voices, and without a requested voice, the facade picks the voice for
  // `language_tag` instead when it can. For a client that follows the words (`word_progress`),
  // voices with exact word timing are chosen first.
  Result<void> configure(const std::optional<std::string>& voice_id,
                         std::optional<SupportedLanguage> language, float rate,
                         bool word_progress = false);
  // A document read in passages of different languages: makes the voice for `language`
  // (`best_voice`, with `user_voice`) the one for utterances queued from now on, leaving the
  // rate alone; nothing is sent when that voice is already set. Never waits for a voice listing:
  // while there is none, the synthesizer picks its own voice for the language. Returns the id of
  // the voice set, or nullopt when the synthesizer picked it (or no voice speaks the language
  // and the one set stays).
  Result<std::optional<std::string>> use_voice_for(std::optional<SupportedLanguage> language,
                                                   const std::optional<std::string>& user_voice);

 private:
  SpeechEngine(std::unique_ptr<Tts> tts, std::string person_locale,
               std::shared_ptr<WordEstimator> estimator)
      : tts_(std::move(tts)),
        person_locale_(std::move(person_locale)),
        estimator_(std::move(estimator)) {}
  // Sets `voice` unless it is the one set last.
  Result<void> set_voice(const Voice& voice);
  Result<void> set_language(std::string_view tag);
  void note_voice(const Voice& voice);  // the voice set last, for the word estimator

  std::unique_ptr<Tts> tts_;
  std::string person_locale_;
  // Word events for the voices that mark none (see word_estimate.h); shared with the callbacks.
  std::shared_ptr<WordEstimator> estimator_;
  // What was set last: "voice:" and an id, or "tag:" and a language tag; empty when unknown.
  std::string voice_set_;
  std::optional<std::string> voice_set_id_;
  std::string voice_id_;
  WordTiming voice_timing_ = WordTiming::Exact;
  float rate_ = 1.0f;           // requested at the last `configure`
  bool word_progress_ = false;  // ... and whether its client follows the words
};

}  // namespace mdspeak
