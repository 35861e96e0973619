#include "main/app_state.h"

#include <algorithm>
#include <span>
#include <utility>

#include "common/overloaded.h"
#include "export/encoder.h"

namespace mdspeak {
namespace {

std::optional<std::string> code_of(std::optional<SupportedLanguage> language) {
  if (!language) return std::nullopt;
  return std::string(language_code(*language));
}

// The one place where the reader's kinds meet the protocol's; the switch covers every kind.
constexpr PreparedUtteranceKind prepared_kind(UtteranceKind kind) {
  switch (kind) {
    case UtteranceKind::Heading:
      return PreparedUtteranceKind::Heading;
    case UtteranceKind::Paragraph:
      return PreparedUtteranceKind::Paragraph;
    case UtteranceKind::Item:
      return PreparedUtteranceKind::Item;
    case UtteranceKind::BlockQuote:
      return PreparedUtteranceKind::BlockQuote;
    case UtteranceKind::TableRow:
      return PreparedUtteranceKind::TableRow;
    case UtteranceKind::CodeBlock:
      return PreparedUtteranceKind::CodeBlock;
  }
  return PreparedUtteranceKind::Paragraph;
}

// With `passages` (natural reading), each utterance also gets its language: from `languages`
// (one per utterance of `all`, which `selection` points into), or `language` when that is empty.
std::vector<PreparedUtterance> prepare(
    const std::vector<const Utterance*>& selection, bool passages = false,
    const Utterance* all = nullptr,
    std::span<const std::optional<SupportedLanguage>> languages = {},
    std::optional<SupportedLanguage> language = std::nullopt) {
  std::vector<PreparedUtterance> out;
  out.reserve(selection.size());
  for (std::size_t i = 0; i < selection.size(); ++i) {
    const Utterance& u = *selection[i];
    out.push_back(
        PreparedUtterance{i, u.text, u.start_offset, u.end_offset, prepared_kind(u.kind)});
    if (passages) {
      const std::size_t index = static_cast<std::size_t>(selection[i] - all);
      const auto own = index < languages.size() ? languages[index] : language;
      out.back().with_language = true;
      if (own) out.back().language_code = language_code(*own);
    }
  }
  return out;
}

Message not_loaded(const std::string& id, const std::string& document_id) {
  return ErrorResult{id, "document_not_loaded", "document '" + document_id + "' is not loaded"};
}

std::string backend_text(const SpeechEngine* speech) {
  if (!speech) return "system-tts (unknown)";
  return "system-tts (" + feature_text(speech->features()) + ")";
}

// What a speak request asks of the playback for `document`: its own utterances, or (`summary`)
// the summary, which is generated text in the document's language.
SpeechOrder order_for(const std::string& document_id, const LoadedDocument& document, bool summary,
                      Voicing how) {
  SpeechOrder order;
  order.document_id = document_id;
  order.passages = document.reading == ReadingMode::Natural;
  how.language = document.language;
  order.how = std::move(how);
  if (summary) {
    order.text = SpeechOrder::Text::Generated;
    order.utterances = document.summary;
  } else {
    order.text = SpeechOrder::Text::Document;
    order.utterances = document.utterances;
    order.source_map = &document.source_map;
    order.languages = document.languages;
  }
  return order;
}

}  // namespace

Message AppState::load_document(LoadDocument request) {
  if (request.reading == RequestedReading::Unsupported) {
    return ErrorResult{std::move(request.id), "unsupported_reading",
                       "reading must be \"natural\" or \"plain\" (or left out)"};
  }
  const ReadingMode mode =
      request.reading == RequestedReading::Natural ? ReadingMode::Natural : ReadingMode::Plain;
  // The paused position belongs to the text it was taken from.
  playback_.drop_position_in(request.document_id);
  const std::uint64_t count = store_.load(request.document_id, std::move(request.text), mode);
  return LoadDocumentResult{std::move(request.id), std::move(request.document_id), count};
}

std::uint64_t AppState::store_document(const std::string& document_id, LoadedDocument document) {
  playback_.drop_position_in(document_id);
  return store_.store(document_id, std::move(document));
}

Message AppState::prepare_speech(const PrepareSpeech& request) {
  const LoadedDocument* document = store_.find(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  return PrepareSpeechResult{
      request.id, request.document_id, code_of(document->language),
      prepare(select_range(document->utterances, request.start_offset, request.end_offset),
              document->reading == ReadingMode::Natural, document->utterances.data(),
              document->languages, document->language)};
}

Message AppState::prepare_summary(const PrepareSummary& request) {
  const LoadedDocument* document = store_.find(request.document_id, true);
  if (!document) return not_loaded(request.id, request.document_id);
  std::vector<const Utterance*> all;
  all.reserve(document->summary.size());
  for (const Utterance& u : document->summary) all.push_back(&u);
  // The summary is worded in the document's language.
  return PrepareSummaryResult{request.id, request.document_id, code_of(document->language),
                              prepare(all, document->reading == ReadingMode::Natural,
                                      document->summary.data(), {}, document->language)};
}

Message AppState::speak(const Speak& request) {
  const LoadedDocument* document = store_.find(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  SpeechOrder order = order_for(request.document_id, *document, false,
                                {{}, request.voice_id, request.rate, request.word_events});
  order.start_offset = request.start_offset;
  order.end_offset = request.end_offset;
  auto queued = playback_.speak(order);
  if (!queued) return error_message(request.id, "speak_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Message AppState::speak_summary(const SpeakSummary& request) {
  const LoadedDocument* document = store_.find(request.document_id, true);
  if (!document) return not_loaded(request.id, request.document_id);
  auto queued =
      playback_.speak(order_for(request.document_id, *document, true,
                                {{}, request.voice_id, request.rate, request.word_events}));
  if (!queued) return error_message(request.id, "speak_summary_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Message AppState::stop(const Stop& request) {
  // An export ends with its own answer, a cancelled export_result.
  if (exporter_) exporter_->cancel();
  if (auto stopped = playback_.stop(); !stopped) {
    return error_message(request.id, "stop_failed", stopped.error());
  }
  return StopResult{request.id};
}

Message AppState::pause(const Pause& request) {
  auto paused = playback_.pause();
  if (!paused) return error_message(request.id, "pause_failed", paused.error());
  return PauseResult{request.id, *paused};
}

Message AppState::resume(const Resume& request) {
  auto resumed = playback_.resume(request.rate, request.voice_id);
  if (!resumed) return error_message(request.id, "resume_failed", resumed.error());
  if (!*resumed) return ResumeResult{request.id, false, 0};
  return ResumeResult{request.id, true, **resumed};
}

void AppState::create_engine_for(const Request& request) {
  if (create_speech_ && !std::holds_alternative<LoadDocument>(request) &&
      !std::holds_alternative<PrepareSpeech>(request) &&
      !std::holds_alternative<PrepareSummary>(request) &&
      !std::holds_alternative<SetPronunciations>(request)) {
    playback_.attach_engine(std::exchange(create_speech_, nullptr)());
  }
}

std::vector<Message> AppState::handle(Request request) {
  create_engine_for(request);
  using Answers = std::vector<Message>;
  return std::visit(
      Overloaded{
          [&](Init& r) -> Answers {
            if (const auto& error = playback_.engine_error()) {
              return {BackendUnavailable{*error},
                      InitResult{std::move(r.id), false, "system-tts", *error}};
            }
            return {
                InitResult{std::move(r.id), true, backend_text(playback_.engine()), std::nullopt}};
          },
          [&](ListVoices& r) -> Answers {
            SpeechEngine* engine = playback_.engine();
            if (!engine) {
              return {error_message(std::move(r.id), "list_voices_failed", unavailable_error())};
            }
            auto voices = engine->voices(r.details);
            if (!voices)
              return {error_message(std::move(r.id), "list_voices_failed", voices.error())};
            return {ListVoicesResult{std::move(r.id), std::move(*voices)}};
          },
          [&](LoadDocument& r) -> Answers { return {load_document(std::move(r))}; },
          [&](PrepareSpeech& r) -> Answers { return {prepare_speech(r)}; },
          [&](PrepareSummary& r) -> Answers { return {prepare_summary(r)}; },
          [&](Speak& r) -> Answers { return {speak(r)}; },
          [&](SpeakSummary& r) -> Answers { return {speak_summary(r)}; },
          [&](Stop& r) -> Answers { return {stop(r)}; },
          [&](Pause& r) -> Answers { return {pause(r)}; },
          [&](Resume& r) -> Answers { return {resume(r)}; },
          [&](SetPronunciations& r) -> Answers { return {set_pronunciations(r)}; },
          [&](Export& r) -> Answers {
            if (auto refused = export_document(r)) return {std::move(*refused)};
            return {};
          },
      },
      request);
}

Message AppState::set_pronunciations(const SetPronunciations& request) {
  auto list = PronunciationList::make(request.entries);
  if (!list) return ErrorResult{request.id, "invalid_pronunciations", list.error().message};
  const std::uint64_t count = list->size();
  if (list->empty()) {
    pronunciations_.reset();
  } else {
    pronunciations_ = std::make_shared<const PronunciationList>(std::move(*list));
  }
  playback_.use_pronunciations(pronunciations_);
  return SetPronunciationsResult{request.id, count};
}

Message AppState::error_message(std::string id, std::string code, const Error& failure) {
  return ErrorResult{std::move(id), std::move(code), failure.message};
}

exporting::ExportJob AppState::export_job(const Export& request, const LoadedDocument& document,
                                          std::optional<exporting::Format> format) const {
  exporting::ExportJob job;
  job.path = request.path;
  job.format = format;
  job.transcript_path = request.transcript;
  job.transcript_words = request.transcript_words;
  job.chapter_level =
      static_cast<unsigned>(std::min<std::uint64_t>(request.chapter_level.value_or(2), 6));
  job.language = document.language;
  job.pronunciations = pronunciations_;
  job.voice_id = request.voice_id;
  job.rate = request.rate.value_or(1.0f);
  job.person_locale = person_locale_from_environment();
  // The title is the document's first heading, wherever the range starts.
  for (const Utterance& u : document.utterances) {
    if (u.kind == UtteranceKind::Heading) {
      job.title = u.text;
      break;
    }
  }
  if (request.summary) {
    // Generated text: its words map to their utterance's range, and it has no chapters.
    for (const Utterance* u : select_range(document.summary, std::nullopt, std::nullopt)) {
      job.indexes.push_back(job.utterances.size());
      job.utterances.push_back(*u);
      job.heading_levels.push_back(0);
    }
    return job;
  }
  std::size_t heading = 0;
  for (std::size_t i = 0; i < document.utterances.size(); ++i) {
    const Utterance& u = document.utterances[i];
    const bool is_heading = u.kind == UtteranceKind::Heading;
    const std::uint8_t level = is_heading && heading < document.heading_levels.size()
                                   ? document.heading_levels[heading]
                                   : 0;
    heading += is_heading ? 1 : 0;
    if (!(u.end_offset > request.start_offset.value_or(0) &&
          (!request.end_offset || u.start_offset < *request.end_offset))) {
      continue;
    }
    job.indexes.push_back(i);
    job.utterances.push_back(u);
    job.heading_levels.push_back(level);
  }
  job.source_map = document.source_map;
  return job;
}

std::optional<Message> AppState::export_document(const Export& request) {
  const LoadedDocument* document = store_.find(request.document_id, request.summary);
  if (!document) return not_loaded(request.id, request.document_id);
  if (exporting()) {
    return ErrorResult{request.id, "export_failed",
                       "an export is already running (request '" + export_id_ + "')"};
  }
  std::optional<exporting::Format> format;
  if (request.format) {
    format = exporting::format_named(*request.format);
    if (!format) {
      return ErrorResult{request.id, "export_failed",
                         "unknown format '" + *request.format +
                             "': give one of wav, flac, opus, vorbis, mp3, m4b"};
    }
  }
  exporting::ExportJob job = export_job(request, *document, format);
  if (!exporter_) {
    exporter_ =
        std::make_unique<exporting::Exporter>(wakeup_ ? wakeup_ : std::make_shared<Wakeup>());
  }
  if (auto started = exporter_->start(std::move(job)); !started) {
    return error_message(request.id, "export_failed", started.error());
  }
  export_id_ = request.id;
  return std::nullopt;
}

std::optional<Message> AppState::next_export_message() {
  if (!exporter_) return std::nullopt;
  auto update = exporter_->next();
  if (!update) return std::nullopt;
  if (const auto* progress = std::get_if<exporting::ExportProgress>(&*update)) {
    return ExportProgress{export_id_, progress->done, progress->total, progress->audio_ms};
  }
  if (const auto* failure = std::get_if<Error>(&*update)) {
    return error_message(export_id_, "export_failed", *failure);
  }
  const auto& summary = std::get<exporting::ExportSummary>(*update);
  return ExportResult{export_id_,
                      summary.path,
                      std::string(exporting::format_name(summary.format)),
                      summary.transcript_path,
                      summary.duration_ms,
                      summary.chapters,
                      summary.words,
                      summary.cancelled};
}

}  // namespace mdspeak
