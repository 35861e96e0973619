// The host's state and the document requests behind it.
//
// `AppState` owns the speech engine (when start-up could create one), every loaded document with
// its utterances, summary and language (computed once at load), and the spoken table that maps the
// synthesizer's utterance ids back to document positions so that begin/end events can be reported.
// Main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/error.h"
#include "language/language.h"
#include "markdown/markdown.h"
#include "protocol/protocol.h"
#include "speech/speech_engine.h"

namespace mdspeak {

struct LoadedDocument {
  std::vector<Utterance> utterances;
  std::vector<Utterance> summary;
  std::optional<SupportedLanguage> language;
};

struct SpokenUtterance {
  std::string document_id;
  std::uint64_t utterance_index = 0;
  std::string text;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
};

// The utterances overlapping [start, end): end_offset > start (0 when absent) and, with an end,
// start_offset < end. Keeps list order.
std::vector<const Utterance*> select_range(const std::vector<Utterance>& utterances,
                                           std::optional<std::uint64_t> start_offset,
                                           std::optional<std::uint64_t> end_offset);

class AppState {
 public:
  AppState(std::optional<SpeechEngine> speech, std::optional<std::string> speech_error)
      : speech(std::move(speech)), speech_error(std::move(speech_error)) {}

  Message load_document(LoadDocument request);
  Message prepare_speech(const PrepareSpeech& request) const;
  Message prepare_summary(const PrepareSummary& request) const;
  Message speak(const Speak& request);
  Message speak_summary(const SpeakSummary& request);

  // Selects, configures, stops and queues; returns the number selected (not the ids recorded).
  Result<std::uint64_t> queue_document(const std::string& document_id,
                                       const std::vector<Utterance>& utterances,
                                       std::optional<SupportedLanguage> language,
                                       std::optional<std::uint64_t> start_offset,
                                       std::optional<std::uint64_t> end_offset, float rate,
                                       const std::optional<std::string>& voice_id);

  // The failure's outermost message alone.
  static Message error_message(std::string id, std::string code, const Error& failure);

  // The failure used when there is no engine.
  Error unavailable_error() const;

  // Spoken table access for event forwarding: first entry with `key`, or end().
  std::vector<std::pair<std::string, SpokenUtterance>>::iterator find_spoken(std::string_view key);

  std::optional<SpeechEngine> speech;
  std::optional<std::string> speech_error;
  std::unordered_map<std::string, LoadedDocument> documents;
  std::vector<std::pair<std::string, SpokenUtterance>> spoken;

 private:
  const LoadedDocument* find_document(const std::string& document_id) const;
};

}  // namespace mdspeak
