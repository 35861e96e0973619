// The wire protocol: one JSON request per input line, one JSON message per output line.
//
// `decode_request` turns one trimmed, non-empty line into a `Request` (object form
// {"type":"init","id":"1"} or array form ["init","1"]); `encode_message` writes a `Message` as one
// compact JSON object with its members in fixed order. Both are pure and thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"

namespace mdspeak {

namespace json {
struct DecodedAhead;
}

// ---- Requests, fields in declared order (the array form follows it) ----

struct Init {
  std::string id;
  bool operator==(const Init&) const = default;
};
struct ListVoices {
  std::string id;
  bool details = false;  // extension: each voice's engine and word timing as well
  bool operator==(const ListVoices&) const = default;
};
// Extension: how a document is to be read aloud. `Unsupported` is any value other than the two
// names (the request is answered with an error, nothing is loaded).
enum class RequestedReading : std::uint8_t { Plain, Natural, Unsupported };

struct LoadDocument {
  std::string id;
  std::string document_id;
  std::string text;
  RequestedReading reading = RequestedReading::Plain;  // extension: absent or null is `Plain`
  bool operator==(const LoadDocument&) const = default;
};
struct PrepareSpeech {
  std::string id;
  std::string document_id;
  std::optional<std::uint64_t> start_offset;
  std::optional<std::uint64_t> end_offset;
  bool operator==(const PrepareSpeech&) const = default;
};
struct PrepareSummary {
  std::string id;
  std::string document_id;
  bool operator==(const PrepareSummary&) const = default;
};
struct Speak {
  std::string id;
  std::string document_id;
  std::optional<std::uint64_t> start_offset;
  std::optional<std::uint64_t> end_offset;
  std::optional<std::string> voice_id;
  float rate = 1.0f;
  bool word_events = false;  // extension: also report each word as it is spoken
  bool operator==(const Speak&) const = default;
};
struct SpeakSummary {
  std::string id;
  std::string document_id;
  std::optional<std::string> voice_id;
  float rate = 1.0f;
  bool word_events = false;  // extension, as for `Speak`
  bool operator==(const SpeakSummary&) const = default;
};
struct Stop {
  std::string id;
  bool operator==(const Stop&) const = default;
};

// Extension: silences speech and remembers the word it stopped at.
struct Pause {
  std::string id;
  bool operator==(const Pause&) const = default;
};
// Extension: continues from the paused word, optionally at another rate or with another voice.
struct Resume {
  std::string id;
  std::optional<float> rate;
  std::optional<std::string> voice_id;
  bool operator==(const Resume&) const = default;
};

// Extension: renders a range of a document, or its summary, to an audio file (and a transcript)
// off the main thread; answered by `ExportResult` (or an error) when it ends.
struct Export {
  std::string id;
  std::string document_id;
  std::string path;
  std::optional<std::string> format;  // none: from the path's extension
  std::optional<std::uint64_t> start_offset;
  std::optional<std::uint64_t> end_offset;
  bool summary = false;
  std::optional<std::string> voice_id;
  std::optional<float> rate;  // none: 1.0
  std::optional<std::string> transcript;
  std::optional<std::uint64_t> chapter_level;  // none: 2
  bool transcript_words = false;
  bool operator==(const Export&) const = default;
};

// Extension: the user's pronunciation list, replacing the one before. Checked by the host (an
// invalid list is answered with an error and the list before stays).
struct PronunciationEntry {
  std::string text;                     // the word or words as written
  std::string say;                      // what the synthesizer is to say instead
  std::optional<std::string> language;  // "en", "es"; none for both
  bool operator==(const PronunciationEntry&) const = default;
};
struct SetPronunciations {
  std::string id;
  std::vector<PronunciationEntry> entries;
  bool operator==(const SetPronunciations&) const = default;
};

using Request = std::variant<Init, ListVoices, LoadDocument, PrepareSpeech, PrepareSummary, Speak,
                             SpeakSummary, Stop, Pause, Resume, Export, SetPronunciations>;

// Fails on anything that is not exactly one valid request; the error text says why (for tests).
// A string of the line decoded ahead (see `json::StringAhead`) is taken instead of decoded again.
Result<Request> decode_request(std::string_view line, json::DecodedAhead* ahead = nullptr);

// ---- Messages, members in written order after "type" ----

// `CodeBlock` ("code_block") comes only from documents loaded with the natural reading.
enum class PreparedUtteranceKind : std::uint8_t {
  Heading,
  Paragraph,
  Item,
  BlockQuote,
  TableRow,
  CodeBlock
};

// The text is a view: an answer is encoded while the document it comes from is unchanged, so a
// whole-document answer copies no utterance.
struct PreparedUtterance {
  std::uint64_t utterance_index = 0;
  std::string_view text;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
  PreparedUtteranceKind kind = PreparedUtteranceKind::Paragraph;
  // Extension, natural reading: the utterance's own language ("en", "es" or null), written
  // after "kind" when `with_language`.
  bool with_language = false;
  std::optional<std::string_view> language_code = std::nullopt;
  bool operator==(const PreparedUtterance&) const = default;
};

// Extension: what a client that asks `list_voices` with "details" learns of a voice.
struct VoiceDetails {
  std::string engine;       // the synthesizer behind the voice ("rhvoice"); empty when unknown
  std::string word_timing;  // "exact", "approximate" or "none"
  bool operator==(const VoiceDetails&) const = default;
};

struct VoiceInfo {
  std::string id;
  std::string name;
  std::optional<std::string> locale;
  std::optional<std::string> gender;                   // "Male" or "Female"
  std::optional<VoiceDetails> details = std::nullopt;  // written only when present
  bool operator==(const VoiceInfo&) const = default;
};

struct InitResult {
  std::string id;
  bool available = false;
  std::string backend;
  std::optional<std::string> message;
};
struct ListVoicesResult {
  std::string id;
  std::vector<VoiceInfo> voices;
};
struct LoadDocumentResult {
  std::string id;
  std::string document_id;
  std::uint64_t utterance_count = 0;
};
struct PrepareSpeechResult {
  std::string id;
  std::string document_id;
  std::optional<std::string> language_code;
  std::vector<PreparedUtterance> utterances;
};
struct PrepareSummaryResult {
  std::string id;
  std::string document_id;
  std::optional<std::string> language_code;
  std::vector<PreparedUtterance> utterances;
};
struct SpeakResult {
  std::string id;
  std::string document_id;
  std::uint64_t queued = 0;
};
struct StopResult {
  std::string id;
};
struct ErrorResult {
  std::string id;
  std::string code;
  std::string message;
};
// What the begin and the end of an utterance report: the same members, in the same order.
struct UtteranceProgress {
  std::string document_id;
  std::uint64_t utterance_index = 0;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
  std::string text;
};
struct UtteranceBegin : UtteranceProgress {
  // Extension, natural reading: the utterance's language and the voice speaking it (null when
  // the synthesizer picked its own voice for the language), written after "text" when
  // `with_voice`.
  bool with_voice = false;
  std::optional<std::string> language_code = std::nullopt;
  std::optional<std::string> voice_id = std::nullopt;
};
struct UtteranceEnd : UtteranceProgress {};
struct BackendUnavailable {
  std::string message;
};
// Extension messages.
struct UtteranceWord {
  std::string document_id;
  std::uint64_t utterance_index = 0;
  std::uint64_t start_offset = 0;  // source bytes that produced the word
  std::uint64_t end_offset = 0;
  std::uint64_t text_start = 0;  // the word's bytes inside the utterance text
  std::uint64_t text_end = 0;
  std::string text;
  // The synthesizer marks no words with this voice: the time is reckoned from the words' lengths.
  bool estimated = false;
};
// The service gave up on this utterance (the synthesizer stopped working, or the utterance could
// not be handed to it): it and the utterances queued after it are not spoken, as after a stop.
struct UtteranceFailed : UtteranceProgress {
  std::string reason;
};
struct PauseResult {
  std::string id;
  bool paused = false;
};
struct ResumeResult {
  std::string id;
  bool resumed = false;
  std::uint64_t queued = 0;
};

struct ExportProgress {
  std::string id;
  std::uint64_t done = 0;  // utterances rendered
  std::uint64_t total = 0;
  std::uint64_t audio_ms = 0;
};
struct ExportResult {
  std::string id;
  std::string path;
  std::string format;
  std::optional<std::string> transcript;
  std::uint64_t duration_ms = 0;
  std::uint64_t chapters = 0;
  std::uint64_t words = 0;
  bool cancelled = false;
};

struct SetPronunciationsResult {
  std::string id;
  std::uint64_t count = 0;  // entries in the list now in use
};

using Message =
    std::variant<InitResult, ListVoicesResult, LoadDocumentResult, PrepareSpeechResult,
                 PrepareSummaryResult, SpeakResult, StopResult, ErrorResult, UtteranceBegin,
                 UtteranceEnd, BackendUnavailable, UtteranceWord, UtteranceFailed, PauseResult,
                 ResumeResult, ExportProgress, ExportResult, SetPronunciationsResult>;

// Appends the message's JSON object (no line feed) to `out`.
void encode_message(const Message& message, std::string& out);

}  // namespace mdspeak
