#include "speech/speech_engine.h"

#include <utility>

#include "speech/word_estimate.h"

namespace mdspeak {

Result<SpeechEngine> SpeechEngine::create(Sender<SpeechEvent> events) {
  auto tts = create_default_tts();
  if (!tts) return fail(Error("failed to initialize system TTS", std::move(tts.error())));
  return create(std::move(*tts), std::move(events), person_locale_from_environment());
}

Result<SpeechEngine> SpeechEngine::create(std::unique_ptr<Tts> tts, Sender<SpeechEvent> events,
                                          std::string person_locale) {
  // On every early return below, `tts` and `events` go out of scope here, and the facade drops
  // any callback it already holds: the receiver then sees a channel without senders.
  if (!tts) return fail(Error("failed to initialize system TTS"));

  auto estimator = std::make_shared<WordEstimator>(events);
  auto begin = tts->on_utterance_begin([sender = events, estimator](const UtteranceId& id) {
    // A receiver that is gone just means nobody listens any more.
    sender.send(SpeechEvent{SpeechEventKind::UtteranceBegin, id});
    estimator->begun(id);
  });
  if (!begin) {
    return fail(Error("failed to install utterance begin callback", std::move(begin.error())));
  }

  // Word marks are optional: a facade without them still speaks, only without word progress.
  (void)tts->on_word([sender = events](const UtteranceId& id, std::size_t word) {
    sender.send(SpeechEvent{SpeechEventKind::Word, id, word});
  });

  auto end = tts->on_utterance_end([sender = std::move(events), estimator](const UtteranceId& id) {
    // Estimated words not yet reported go first: a word never follows its utterance's end.
    estimator->ended(id);
    sender.send(SpeechEvent{SpeechEventKind::UtteranceEnd, id});
  });
  if (!end) {
    return fail(Error("failed to install utterance end callback", std::move(end.error())));
  }

  return SpeechEngine(std::move(tts), std::move(person_locale), std::move(estimator));
}

Result<std::optional<UtteranceId>> SpeechEngine::speak(std::string_view text, bool interrupt) {
  auto id = tts_->speak(text, interrupt);
  if (!id) return fail(Error("failed to queue speech", std::move(id.error())));
  return std::move(*id);
}

Result<std::optional<UtteranceId>> SpeechEngine::speak(std::string_view text,
                                                       std::span<const WordMark> words,
                                                       bool interrupt) {
  if (interrupt) estimator_->cancel_all();
  auto id = tts_->speak_words(text, words, interrupt);
  if (!id) return fail(Error("failed to queue speech", std::move(id.error())));
  if (*id && !words.empty() && voice_timing_ == WordTiming::None) {
    std::vector<std::size_t> starts;
    starts.reserve(words.size());
    for (const WordMark& w : words) starts.push_back(w.begin);
    estimator_->expect(**id, std::move(starts), text.size(), rate_);
  }
  return std::move(*id);
}

Result<void> SpeechEngine::stop() {
  estimator_->cancel_all();
  auto stopped = tts_->stop();
  if (!stopped) return fail(Error("failed to stop speech", std::move(stopped.error())));
  return {};
}

Result<bool> SpeechEngine::is_speaking() {
  // A backend that cannot tell is taken as silent rather than asked and failing.
  if (!tts_->supported_features().is_speaking) return false;
  auto speaking = tts_->is_speaking();
  if (!speaking) {
    return fail(Error("failed to query speaking state", std::move(speaking.error())));
  }
  return *speaking;
}

std::optional<std::chrono::steady_clock::time_point> SpeechEngine::last_sign_of_life() {
  return tts_->last_sign_of_life();
}

Features SpeechEngine::features() const {
  return tts_->supported_features();
}

}  // namespace mdspeak
