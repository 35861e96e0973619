// The host's state and the document requests behind it.
//
// `AppState` owns the speech engine (when start-up could create one), every loaded document with
// its utterances, summary and language (computed once per load, after its answer), the spoken table
// that maps the synthesizer's utterance ids back to document positions so that begin/word/end
// events can be reported, and the position remembered by a pause. Every request is handled here
// (`handle`) and every speech event is turned into its message here (`on_event`). Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/channel.h"
#include "common/error.h"
#include "export/exporter.h"
#include "language/language.h"
#include "main/spoken_table.h"
#include "markdown/markdown.h"
#include "protocol/protocol.h"
#include "speech/pronunciations.h"
#include "speech/speech_engine.h"

namespace mdspeak {

// What a load leaves until after its answer, which carries only the utterance count: the
// language (its detection reads the utterances on a thread of its own while the text is read)
// and the summary. Either is finished when a request needs it, or when the service is idle.
struct DeferredLoad {
  StreamingDetection language;
  bool language_done = false;
  bool summary_done = false;
  // The parse's sections, title and code-block notes; its utterances live in the document.
  ParsedMarkdownDocument parsed;
};

struct LoadedDocument {
  std::vector<Utterance> utterances;
  std::vector<Utterance> summary;
  std::optional<SupportedLanguage> language;
  TextSourceMap source_map;                  // word-level source ranges of `utterances`
  std::vector<std::uint8_t> heading_levels;  // of the heading utterances, in order
  ReadingMode reading = ReadingMode::Plain;  // what the client asked for at load
  // Present until the language and the summary above are final.
  std::unique_ptr<DeferredLoad> deferred = nullptr;
  // Natural reading: the language of each of `utterances` (see passage_languages); empty for the
  // plain reading and until the load is settled.
  std::vector<std::optional<SupportedLanguage>> languages = {};
};

// Natural reading: the utterances queued are spoken by the voices of their own languages, given
// one per utterance of the list queued (or none: all in the document's language).
struct Passages {
  std::span<const std::optional<SupportedLanguage>> languages;
};

// The utterances overlapping [start, end): end_offset > start (0 when absent) and, with an end,
// start_offset < end. Keeps list order.
std::vector<const Utterance*> select_range(const std::vector<Utterance>& utterances,
                                           std::optional<std::uint64_t> start_offset,
                                           std::optional<std::uint64_t> end_offset);

// Source bytes of the text bytes [text_start, text_end) of utterance `index` (its position in
// the document's `utterances`), from the document's source map.
WordSource word_source(const LoadedDocument& document, std::size_t index, std::size_t text_start,
                       std::size_t text_end);

class AppState {
 public:
  // The synthesizer holds at most the utterance being spoken and the next one; the rest waits
  // here, so `speak` answers at once for any length, a `stop` has little to cancel, and a
  // service killed outright leaves at most one more utterance behind. The next is already
  // queued when the current ends, so the gap between them does not grow.
  static constexpr std::size_t kWindow = 2;

  AppState(std::optional<SpeechEngine> speech, std::optional<std::string> speech_error)
      : speech_(std::move(speech)), speech_error_(std::move(speech_error)) {}
  // The engine is created by the first request other than a load or a prepare, so that a client
  // that only prepares texts never starts a synthesizer (nor speech-dispatcher's daemon).
  explicit AppState(std::function<Result<SpeechEngine>()> create_speech)
      : create_speech_(std::move(create_speech)) {}

  // The answers to one request (two for `init` on an unavailable backend).
  std::vector<Message> handle(Request request);
  // The message a speech event stands for; nothing for events of utterances no longer in the
  // spoken table, and for words when the client did not ask for them.
  std::optional<Message> on_event(const SpeechEvent& event);

  Message load_document(LoadDocument request);
  // Keeps `document` under `document_id`, replacing any (and a position paused in it); returns
  // its utterance count.
  std::uint64_t store_document(const std::string& document_id, LoadedDocument document);
  Message prepare_speech(const PrepareSpeech& request);
  Message prepare_summary(const PrepareSummary& request);
  Message speak(const Speak& request);
  Message speak_summary(const SpeakSummary& request);
  Message stop(const Stop& request);
  Message pause(const Pause& request);
  Message resume(const Resume& request);
  // Replaces the pronunciation list, or answers what is wrong and keeps the one before.
  Message set_pronunciations(const SetPronunciations& request);
  // Starts an export; nothing when it started (its answer comes from `next_export_message`).
  std::optional<Message> export_document(const Export& request);

  // Exports wake the waiters of `wakeup` (the main loop's) when they have news.
  void attach_wakeup(std::shared_ptr<Wakeup> wakeup) { wakeup_ = std::move(wakeup); }
  // The next progress or final message of the running export, if one is waiting.
  std::optional<Message> next_export_message();
  bool exporting() const { return exporter_ && exporter_->running(); }

  // Selects, configures, stops and queues; returns the number selected (not the ids recorded).
  Result<std::uint64_t> queue_document(const std::string& document_id,
                                       const std::vector<Utterance>& utterances,
                                       std::optional<SupportedLanguage> language,
                                       std::optional<std::uint64_t> start_offset,
                                       std::optional<std::uint64_t> end_offset, float rate,
                                       const std::optional<std::string>& voice_id,
                                       bool word_events = false,
                                       std::optional<Passages> passages = std::nullopt);

  // The failure's outermost message alone.
  static Message error_message(std::string id, std::string code, const Error& failure);

  // The failure used when there is no engine.
  Error unavailable_error() const;

  bool paused() const { return paused_.has_value(); }
  // The utterances handed to the synthesizer and not yet ended, and those still to hand over.
  const SpokenTable& spoken() const { return spoken_; }
  // True while the synthesizer says it is still speaking or, when it cannot tell, while some
  // handed utterance has not ended. False without an engine.
  bool speech_outstanding();
  // How many utterances have been handed to the synthesizer so far.
  std::uint64_t handed_count() const { return handed_; }
  // Finishes the work one load left for later (its language and summary); false when none is
  // left. For the main loop's idle time: a request that needs the work finishes it itself.
  bool settle_one_load();
  // Cancels the service's own speech and forgets every position (the process is ending).
  void silence();
  // Frees what a load left spent (the source it read, the document it replaced) and hands the
  // pages back to the system; called after the answer is written, so that a client does not
  // wait for it.
  void give_back_memory();

  // A synthesizer that stalls (a frozen module or daemon, a dead audio path) would keep an
  // utterance begun, or waiting to begin, for ever, and the service could never finish
  // draining. Speech is stalled when it has made no progress (handed over, begun, a word, an
  // end) and the synthesizer has shown no sign of life (`SpeechEngine::last_sign_of_life`) for
  // `kStallQuiet`; a long word or a wait behind another client's speech keeps the synthesizer
  // busy and is not a stall. A backend that cannot tell gets what the remaining text can take
  // at its rate with a wide margin instead. The service then gives up on the speech as on a
  // stop, cancelling it in the synthesizer, and keeps the utterance for `take_failure`. True
  // when it gave up. With `report`, the failure is handed to it before the synthesizer is told:
  // a daemon without an audio output takes seconds to refuse the cancel, and the client should
  // not wait for that to learn why nothing is heard.
  bool give_up_if_stalled(std::chrono::steady_clock::time_point now,
                          const std::function<void(Message)>& report = {});
  // The `utterance_failed` for speech the service gave up on, once every utterance handed to
  // the synthesizer before it has ended; only for clients that asked for word events (others
  // see what they always saw: no end).
  std::optional<Message> take_failure();

  static constexpr std::chrono::seconds kStallQuiet{5};
  // Before anything of ours has been heard, a synthesizer that shows no life is most likely one
  // without an audio output (speech-dispatcher's output failed to open): given up on sooner, and
  // said as such (the daemon still reports the first word's mark: the audio fails after it).
  static constexpr std::chrono::milliseconds kFirstSoundQuiet{2200};

 private:
  // What the current speech was queued with, kept so that a resume can speak the rest alike.
  struct SpeechSettings {
    std::string document_id;
    std::optional<SupportedLanguage> language;
    std::optional<std::string> voice_id;
    float rate = 1.0f;
    bool word_events = false;
  };
  // Speech given up on: reported from this utterance on.
  struct Failure {
    SpokenUtterance utterance;
    std::string reason;
  };
  struct PausedSpeech {
    SpeechSettings settings;
    std::vector<SpokenUtterance> rest;  // the interrupted utterance first
  };

  // The document under `document_id` with its language final, and its summary too when
  // `with_summary`; nothing when no such document is loaded.
  const LoadedDocument* find_document(const std::string& document_id, bool with_summary = false);
  // Makes `utterances` what is to be spoken and hands the first window of them to the
  // synthesizer, the first one interrupting whatever it was saying.
  Result<void> hand_over(std::vector<SpokenUtterance> utterances);
  // Hands waiting utterances over (each from its `first_word`) until the window is full.
  Result<void> feed(bool interrupt_first);

  // The first utterance in the table is due to begin: start its clock.
  void expect_next_begin();
  // Empties the spoken table; nothing is then overdue.
  void forget_spoken();
  // Moves the stall deadline: the utterance still has `remaining` bytes of text to say.
  void expect_progress(std::size_t remaining);

  std::optional<SpeechEngine> speech_;
  std::optional<std::string> speech_error_;  // why there is no engine, when there is none
  std::function<Result<SpeechEngine>()> create_speech_;  // until the first request needing it
  std::unordered_map<std::string, LoadedDocument> documents_;
  SpokenTable spoken_;
  SpeechSettings settings_;
  std::uint64_t handed_ = 0;
  std::optional<std::chrono::steady_clock::time_point> overdue_at_;
  std::chrono::steady_clock::time_point progress_at_{};  // the last progress, while overdue_at_
  std::optional<Failure> failure_;
  bool heard_ = false;  // an utterance of ours has ended: the audio output works
  std::optional<SpokenUtterance> unqueued_;  // the utterance the last failed `feed` could not hand
  std::optional<PausedSpeech> paused_;
  bool memory_to_give_back_ = false;
  // Freed by give_back_memory: unmapping a large source and freeing a replaced document's
  // utterances one by one take milliseconds the answer need not wait for.
  std::string spent_source_;
  std::optional<LoadedDocument> spent_document_;
  // The export in progress, if any, and the id of the request that started it. Speech giving
  // up does not touch it; when the service ends, the exporter's destructor cancels it and
  // removes its temporary files.
  std::shared_ptr<Wakeup> wakeup_;
  std::unique_ptr<exporting::Exporter> exporter_;
  std::string export_id_;
  // What the synthesizer says for the user's listed words; shared with a running export.
  std::shared_ptr<const PronunciationList> pronunciations_;
};

}  // namespace mdspeak
