#include "main/app_state.h"

#include <algorithm>

#include "summary/summary.h"

namespace mdspeak {
namespace {

constexpr std::string_view kUnavailable = "system TTS backend is unavailable";

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
  }
  return PreparedUtteranceKind::Paragraph;
}

std::vector<PreparedUtterance> prepare(const std::vector<const Utterance*>& selection) {
  std::vector<PreparedUtterance> out;
  out.reserve(selection.size());
  for (std::size_t i = 0; i < selection.size(); ++i) {
    const Utterance& u = *selection[i];
    out.push_back(PreparedUtterance{i, u.text, u.start_offset, u.end_offset,
                                    prepared_kind(u.kind)});
  }
  return out;
}

Message not_loaded(const std::string& id, const std::string& document_id) {
  return ErrorResult{id, "document_not_loaded", "document '" + document_id + "' is not loaded"};
}

}  // namespace

std::vector<const Utterance*> select_range(const std::vector<Utterance>& utterances,
                                           std::optional<std::uint64_t> start_offset,
                                           std::optional<std::uint64_t> end_offset) {
  const std::uint64_t start = start_offset.value_or(0);
  std::vector<const Utterance*> out;
  for (const Utterance& u : utterances) {
    if (u.end_offset > start && (!end_offset || u.start_offset < *end_offset)) out.push_back(&u);
  }
  return out;
}

const LoadedDocument* AppState::find_document(const std::string& document_id) const {
  auto it = documents.find(document_id);
  return it == documents.end() ? nullptr : &it->second;
}

Message AppState::load_document(LoadDocument request) {
  ParsedMarkdownDocument parsed = parse_markdown_document(request.text);
  LoadedDocument document;
  document.summary = summarize_document(parsed);
  document.utterances = std::move(parsed.utterances);

  std::size_t joined_size = 0;
  for (const Utterance& u : document.utterances) joined_size += u.text.size() + 1;
  std::string joined;
  joined.reserve(joined_size);
  for (const Utterance& u : document.utterances) {
    if (!joined.empty()) joined.push_back(' ');
    joined += u.text;
  }
  document.language = detect_supported_language(joined);

  const std::uint64_t count = document.utterances.size();
  documents.insert_or_assign(request.document_id, std::move(document));
  return LoadDocumentResult{std::move(request.id), std::move(request.document_id), count};
}

Message AppState::prepare_speech(const PrepareSpeech& request) const {
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  return PrepareSpeechResult{
      request.id, request.document_id, code_of(document->language),
      prepare(select_range(document->utterances, request.start_offset, request.end_offset))};
}

Message AppState::prepare_summary(const PrepareSummary& request) const {
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  std::vector<const Utterance*> all;
  all.reserve(document->summary.size());
  for (const Utterance& u : document->summary) all.push_back(&u);
  return PrepareSummaryResult{request.id, request.document_id, code_of(document->language),
                              prepare(all)};
}

Message AppState::speak(const Speak& request) {
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  auto queued =
      queue_document(request.document_id, document->utterances, document->language,
                     request.start_offset, request.end_offset, request.rate, request.voice_id);
  if (!queued) return error_message(request.id, "speak_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Message AppState::speak_summary(const SpeakSummary& request) {
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  auto queued = queue_document(request.document_id, document->summary, document->language,
                               std::nullopt, std::nullopt, request.rate, request.voice_id);
  if (!queued) return error_message(request.id, "speak_summary_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Result<std::uint64_t> AppState::queue_document(const std::string& document_id,
                                               const std::vector<Utterance>& utterances,
                                               std::optional<SupportedLanguage> language,
                                               std::optional<std::uint64_t> start_offset,
                                               std::optional<std::uint64_t> end_offset, float rate,
                                               const std::optional<std::string>& voice_id) {
  // A document replaced by a later load may be what `utterances` refers to; nothing here loads,
  // so the reference stays valid for the whole call.
  const std::vector<const Utterance*> selection =
      select_range(utterances, start_offset, end_offset);
  if (selection.empty()) return std::uint64_t{0};

  spoken.clear();
  if (!speech) return fail(unavailable_error());
  if (auto configured = speech->configure(voice_id, language, rate); !configured) {
    return fail(configured.error());
  }
  if (auto stopped = speech->stop(); !stopped) return fail(stopped.error());

  for (std::size_t i = 0; i < selection.size(); ++i) {
    const Utterance& u = *selection[i];
    auto id = speech->speak(u.text, i == 0);
    if (!id) return fail(id.error());
    if (*id) {
      spoken.emplace_back((*id)->text(),
                          SpokenUtterance{document_id, i, u.text, u.start_offset, u.end_offset});
    }
  }
  return static_cast<std::uint64_t>(selection.size());
}

Message AppState::error_message(std::string id, std::string code, const Error& failure) {
  return ErrorResult{std::move(id), std::move(code), failure.message};
}

Error AppState::unavailable_error() const {
  return Error(speech_error ? *speech_error : std::string(kUnavailable));
}

std::vector<std::pair<std::string, SpokenUtterance>>::iterator AppState::find_spoken(
    std::string_view key) {
  return std::find_if(spoken.begin(), spoken.end(),
                      [&](const auto& entry) { return entry.first == key; });
}

}  // namespace mdspeak
