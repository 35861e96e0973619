// The host's state: requests in, messages out, over the document store and the playback.
//
// `AppState` is the dispatcher between the protocol and the two units that hold the state: the
// `DocumentStore` (every loaded document, with what its load left for later) and the
// `SpeechPlayback` (what the synthesizer is saying, the pause position, the stall clock). It checks
// each request, asks the store for the document, has the playback speak it, and words the outcome
// as the request's answer. It also owns the running export and the pronunciation list, which the
// playback and the export share. Main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/channel.h"
#include "common/error.h"
#include "export/exporter.h"
#include "main/document_store.h"
#include "main/playback.h"
#include "protocol/protocol.h"
#include "speech/pronunciations.h"
#include "speech/speech_engine.h"

namespace mdspeak {

class AppState {
 public:
  AppState(std::optional<SpeechEngine> speech, std::optional<std::string> speech_error)
      : playback_(std::move(speech), std::move(speech_error)) {}
  // The engine is created by the first request other than a load or a prepare, so that a client
  // that only prepares texts never starts a synthesizer (nor speech-dispatcher's daemon).
  explicit AppState(std::function<Result<SpeechEngine>()> create_speech)
      : create_speech_(std::move(create_speech)) {}

  // The answers to one request (two for `init` on an unavailable backend).
  std::vector<Message> handle(Request request);
  // The message a speech event stands for; nothing for events of utterances no longer in the
  // spoken table, and for words when the client did not ask for them.
  std::optional<Message> on_event(const SpeechEvent& event) { return playback_.on_event(event); }

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

  // The failure's outermost message alone.
  static Message error_message(std::string id, std::string code, const Error& failure);
  // The failure used when there is no engine.
  Error unavailable_error() const { return playback_.unavailable_error(); }

  SpeechPlayback& playback() { return playback_; }
  const SpokenTable& spoken() const { return playback_.spoken(); }
  bool paused() const { return playback_.paused(); }
  bool speech_outstanding() { return playback_.speech_outstanding(); }
  std::uint64_t handed_count() const { return playback_.handed_count(); }
  // Finishes the work one load left for later (its language and summary); false when none is
  // left. For the main loop's idle time: a request that needs the work finishes it itself.
  bool settle_one_load() { return store_.settle_one(); }
  // Cancels the service's own speech and forgets every position (the process is ending).
  void silence() { playback_.silence(); }
  // Frees what a load left spent; called after the answer is written, so that a client does not
  // wait for it.
  void give_back_memory() { store_.give_back_memory(); }
  // See SpeechPlayback::give_up_if_stalled and SpeechPlayback::take_failure.
  bool give_up_if_stalled(std::chrono::steady_clock::time_point now,
                          const std::function<void(Message)>& report = {}) {
    return playback_.give_up_if_stalled(now, report);
  }
  std::optional<Message> take_failure() { return playback_.take_failure(); }

 private:
  // The engine, created by the first request that may need it.
  void create_engine_for(const Request& request);
  // The export job for `request` on `document`.
  exporting::ExportJob export_job(const Export& request, const LoadedDocument& document,
                                  std::optional<exporting::Format> format) const;

  std::function<Result<SpeechEngine>()> create_speech_;  // until the first request needing it
  DocumentStore store_;
  SpeechPlayback playback_;
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
