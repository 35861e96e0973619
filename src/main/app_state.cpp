#include "main/app_state.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iterator>
#include <utility>

#include "common/overloaded.h"
#include "export/encoder.h"
#include "main/passages.h"
#include "speech/words.h"
#include "summary/summary.h"

namespace mdspeak {
namespace {

constexpr std::string_view kUnavailable = "system TTS backend is unavailable";

// Where the synthesizer cannot tell whether it is still working: espeak-ng says about 15 bytes of
// text a second at normal rate and 7 at the slowest; a quarter of a second per byte at normal rate
// (twice that at the slowest) plus four seconds leaves room for most long words, other
// synthesizers and a busy machine.
constexpr std::chrono::milliseconds kStallMargin{4000};
constexpr std::chrono::milliseconds kStallPerByte{250};

// The largest part of an utterance handed to the synthesizer at once (a single longer word
// still goes whole).
constexpr std::size_t kPartBytes = 8 * 1024;

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

std::string backend_text(const std::optional<SpeechEngine>& speech) {
  if (!speech) return "system-tts (unknown)";
  return "system-tts (" + feature_text(speech->features()) + ")";
}

}  // namespace

WordSource word_source(const LoadedDocument& document, std::size_t index, std::size_t text_start,
                       std::size_t text_end) {
  const SourceSpan span = document.source_map.source_range(index, text_start, text_end);
  const Utterance& u = document.utterances[index];
  // A client highlights a word inside its utterance. A task item's "To do:" or "Done:" comes
  // from the box before the item's range and has no bytes of its own there: it gets the empty
  // range at the utterance's start.
  const std::uint64_t start = std::clamp<std::uint64_t>(span.first, u.start_offset, u.end_offset);
  const std::uint64_t end = std::clamp<std::uint64_t>(span.second, start, u.end_offset);
  return WordSource{start, end};
}

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

namespace {

// The summary of a document whose utterances have moved out of its parse.
void write_summary(LoadedDocument& document) {
  DeferredLoad& deferred = *document.deferred;
  // The summary reads the utterances through the parse's sections.
  std::swap(deferred.parsed.utterances, document.utterances);
  if (document.reading == ReadingMode::Natural) {
    // The natural reading words its summary in the document's language.
    document.summary =
        summarize_document(deferred.parsed, document.language == SupportedLanguage::Spanish
                                                ? SupportedLanguage::Spanish
                                                : SupportedLanguage::English);
  } else {
    document.summary = summarize_document(deferred.parsed);
  }
  std::swap(deferred.parsed.utterances, document.utterances);
  deferred.summary_done = true;
}

// Finishes the language (and, when asked, the summary) a load left for later, in the order a
// load used to do them all: the summary reads the code blocks' announcements as first worded.
void settle(LoadedDocument& document, bool with_summary) {
  if (!document.deferred) return;
  DeferredLoad& deferred = *document.deferred;
  if (!deferred.language_done) {
    document.language = deferred.language.finish();
    deferred.language_done = true;
    const bool spanish = document.language == SupportedLanguage::Spanish;
    if (document.reading == ReadingMode::Natural) {
      // The natural reading words its own additions, and then its summary, in the document's
      // language.
      std::swap(deferred.parsed.utterances, document.utterances);
      if (spanish) announce_code_blocks_in_spanish(deferred.parsed);
      word_task_prefixes(deferred.parsed, document.language);
      document.languages = passage_languages(deferred.parsed, document.language);
      std::swap(deferred.parsed.utterances, document.utterances);
    } else if (spanish && !deferred.parsed.code_blocks.empty()) {
      if (!deferred.summary_done) write_summary(document);
      std::swap(deferred.parsed.utterances, document.utterances);
      announce_code_blocks_in_spanish(deferred.parsed);
      std::swap(deferred.parsed.utterances, document.utterances);
    }
  }
  if (with_summary && !deferred.summary_done) write_summary(document);
  if (deferred.summary_done) document.deferred.reset();
}

}  // namespace

const LoadedDocument* AppState::find_document(const std::string& document_id, bool with_summary) {
  auto it = documents_.find(document_id);
  if (it == documents_.end()) return nullptr;
  settle(it->second, with_summary);
  return &it->second;
}

bool AppState::settle_one_load() {
  for (auto& [id, document] : documents_) {
    if (document.deferred) {
      settle(document, true);
      return true;
    }
  }
  return false;
}

Message AppState::load_document(LoadDocument request) {
  if (request.reading == RequestedReading::Unsupported) {
    return ErrorResult{std::move(request.id), "unsupported_reading",
                       "reading must be \"natural\" or \"spec\" (or left out)"};
  }
  const ReadingMode mode =
      request.reading == RequestedReading::Natural ? ReadingMode::Natural : ReadingMode::Plain;
  // Detection reads the utterance texts (as if joined by single spaces) as they are made, in
  // what time the parse leaves idle, and is finished after the answer. The words a natural
  // reading adds for code blocks are not the document's.
  auto deferred = std::make_unique<DeferredLoad>();
  // Parsed in its own buffer (the utterances hold their own texts), which is freed once the
  // answer is out.
  deferred->parsed = parse_markdown_document_in_place(
      request.text,
      [&language = deferred->language](std::span<const Utterance> made) {
        for (const Utterance& u : made) {
          if (u.kind != UtteranceKind::CodeBlock) language.add(u.text);
        }
      },
      mode);
  spent_source_ = std::move(request.text);

  LoadedDocument document;
  document.reading = mode;
  document.utterances = std::move(deferred->parsed.utterances);
  document.source_map = std::move(deferred->parsed.source_map);
  document.heading_levels = std::move(deferred->parsed.heading_levels);
  document.deferred = std::move(deferred);

  const std::uint64_t count = store_document(request.document_id, std::move(document));
  return LoadDocumentResult{std::move(request.id), std::move(request.document_id), count};
}

std::uint64_t AppState::store_document(const std::string& document_id, LoadedDocument document) {
  const std::uint64_t count = document.utterances.size();
  // The paused position belongs to the text it was taken from.
  if (paused_ && paused_->settings.document_id == document_id) paused_.reset();
  if (auto stored = documents_.find(document_id); stored != documents_.end()) {
    spent_document_ = std::exchange(stored->second, std::move(document));
  } else {
    documents_.emplace(document_id, std::move(document));
  }
  memory_to_give_back_ = true;
  return count;
}

void AppState::give_back_memory() {
  if (!std::exchange(memory_to_give_back_, false)) return;
  std::string().swap(spent_source_);
  spent_document_.reset();
  // The source, a replaced document and the parse's scratch go back to the allocator piece by
  // piece: hand the pages back so that memory after one huge document returns to what a small
  // one needs.
  malloc_trim(0);
}

Message AppState::prepare_speech(const PrepareSpeech& request) {
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  return PrepareSpeechResult{
      request.id, request.document_id, code_of(document->language),
      prepare(select_range(document->utterances, request.start_offset, request.end_offset),
              document->reading == ReadingMode::Natural, document->utterances.data(),
              document->languages, document->language)};
}

Message AppState::prepare_summary(const PrepareSummary& request) {
  const LoadedDocument* document = find_document(request.document_id, true);
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
  const LoadedDocument* document = find_document(request.document_id);
  if (!document) return not_loaded(request.id, request.document_id);
  paused_.reset();
  std::optional<Passages> passages;
  if (document->reading == ReadingMode::Natural) passages = Passages{document->languages};
  auto queued = queue_document(request.document_id, document->utterances, document->language,
                               request.start_offset, request.end_offset, request.rate,
                               request.voice_id, request.word_events, passages);
  if (!queued) return error_message(request.id, "speak_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Message AppState::speak_summary(const SpeakSummary& request) {
  const LoadedDocument* document = find_document(request.document_id, true);
  if (!document) return not_loaded(request.id, request.document_id);
  paused_.reset();
  std::optional<Passages> passages;
  if (document->reading == ReadingMode::Natural) passages = Passages{};
  auto queued =
      queue_document(request.document_id, document->summary, document->language, std::nullopt,
                     std::nullopt, request.rate, request.voice_id, request.word_events, passages);
  if (!queued) return error_message(request.id, "speak_summary_failed", queued.error());
  return SpeakResult{request.id, request.document_id, *queued};
}

Result<std::uint64_t> AppState::queue_document(const std::string& document_id,
                                               const std::vector<Utterance>& utterances,
                                               std::optional<SupportedLanguage> language,
                                               std::optional<std::uint64_t> start_offset,
                                               std::optional<std::uint64_t> end_offset, float rate,
                                               const std::optional<std::string>& voice_id,
                                               bool word_events, std::optional<Passages> passages) {
  // A document replaced by a later load may be what `utterances` refers to; nothing here loads,
  // so the reference stays valid for the whole call.
  const std::vector<const Utterance*> selection =
      select_range(utterances, start_offset, end_offset);
  if (selection.empty()) return std::uint64_t{0};

  forget_spoken();
  if (!speech_) return fail(unavailable_error());
  if (auto configured = speech_->configure(voice_id, language, rate, word_events); !configured) {
    return fail(configured.error());
  }
  if (auto stopped = speech_->stop(); !stopped) return fail(stopped.error());
  settings_ = SpeechSettings{document_id, language, voice_id, rate, word_events};

  // Document words map back to the exact source bytes; summary words (generated text) to their
  // utterance's range.
  const auto stored = documents_.find(document_id);
  const LoadedDocument* source =
      stored != documents_.end() && &stored->second.utterances == &utterances ? &stored->second
                                                                              : nullptr;
  std::vector<SpokenUtterance> list;
  list.reserve(selection.size());
  for (std::size_t i = 0; i < selection.size(); ++i) {
    const Utterance& u = *selection[i];
    auto content = std::make_shared<SpokenText>();
    content->text = u.text;
    content->words = split_words(u.text);
    content->sources.reserve(content->words.size());
    for (const WordMark& w : content->words) {
      content->sources.push_back(
          source ? word_source(*source, static_cast<std::size_t>(selection[i] - utterances.data()),
                               w.begin, w.end)
                 : WordSource{u.start_offset, u.end_offset});
    }
    SpokenUtterance s;
    s.document_id = document_id;
    s.utterance_index = i;
    s.start_offset = u.start_offset;
    s.end_offset = u.end_offset;
    s.content = std::move(content);
    if (passages) {
      const auto index = static_cast<std::size_t>(selection[i] - utterances.data());
      s.passage = true;
      s.language = index < passages->languages.size() ? passages->languages[index] : language;
    }
    list.push_back(std::move(s));
  }
  auto handed = hand_over(std::move(list));
  expect_next_begin();
  if (!handed) return fail(handed.error());
  return static_cast<std::uint64_t>(selection.size());
}

Result<void> AppState::hand_over(std::vector<SpokenUtterance> utterances) {
  forget_spoken();
  spoken_.set_waiting(std::deque<SpokenUtterance>(std::make_move_iterator(utterances.begin()),
                                                  std::make_move_iterator(utterances.end())));
  return feed(true);
}

Result<void> AppState::feed(bool interrupt_first) {
  bool interrupt = interrupt_first;
  // Utterances spoken without an id cannot be followed to their end, so they never count
  // against the window: with such a backend everything is handed over at once.
  while (speech_ && spoken_.size() < kWindow) {
    std::optional<SpokenUtterance> next = spoken_.take_waiting();
    if (!next) break;
    SpokenUtterance& u = *next;
    const std::vector<WordMark>& words = u.words();
    const std::string& text = u.text();
    const std::size_t first = std::min(u.first_word, words.size());
    // A resumed utterance starts at its paused word, a later part at its first word; the marks
    // are counted from there.
    const std::size_t cut = first < words.size() ? words[first].begin : 0;
    // A long utterance goes in parts of whole words, each one handed over like an utterance,
    // so that the daemon (whose time per message grows faster than its size) never gets
    // megabytes at once. The events still describe the one utterance.
    std::size_t last = words.size();
    std::size_t stop = text.size();
    if (text.size() - cut > kPartBytes && first < words.size()) {
      std::size_t k = first + 1;
      while (k < words.size() && words[k].end - cut <= kPartBytes) ++k;
      if (k < words.size()) {
        last = k;
        stop = words[k - 1].end;
        SpokenUtterance rest = u;
        rest.first_word = k;
        rest.continued = true;
        spoken_.push_waiting_front(std::move(rest));
      }
    }
    u.end_word = last;
    std::vector<WordMark> marks;
    marks.reserve(last - first);
    for (std::size_t w = first; w < last; ++w) {
      marks.push_back(WordMark{words[w].begin - cut, words[w].end - cut});
    }
    // A passage is spoken by a voice of its language; the voice is set while the one before
    // is still speaking, so the change costs no round trip between them.
    auto id = [&]() -> Result<std::optional<UtteranceId>> {
      if (u.passage) {
        auto voice = speech_->use_voice_for(u.language, settings_.voice_id);
        if (!voice) return fail(std::move(voice.error()));
        u.voice_id = std::move(*voice);
      }
      const std::string_view part = std::string_view(text).substr(cut, stop - cut);
      // The synthesizer hears the listed words as the user wants them said; the marks, one per
      // word as before, keep the events about the words of the text.
      const auto said =
          pronunciations_
              ? pronunciations_->apply(part, marks, u.passage ? u.language : settings_.language)
              : std::nullopt;
      return said ? speech_->speak(said->text, said->marks, interrupt)
                  : speech_->speak(part, marks, interrupt);
    }();
    interrupt = false;
    ++handed_;
    if (!id) {
      spoken_.set_waiting({});
      unqueued_ = std::move(u);
      return fail(id.error());
    }
    if (*id) spoken_.record((*id)->text(), std::move(u));
  }
  return {};
}

std::vector<Message> AppState::handle(Request request) {
  if (create_speech_ && !std::holds_alternative<LoadDocument>(request) &&
      !std::holds_alternative<PrepareSpeech>(request) &&
      !std::holds_alternative<PrepareSummary>(request) &&
      !std::holds_alternative<SetPronunciations>(request)) {
    auto created = std::exchange(create_speech_, nullptr)();
    if (created) {
      speech_.emplace(std::move(*created));
    } else {
      speech_error_ = created.error().message;
    }
  }
  return std::visit(
      Overloaded{
          [&](Init& r) -> std::vector<Message> {
            if (speech_error_) {
              return {BackendUnavailable{*speech_error_},
                      InitResult{std::move(r.id), false, "system-tts", *speech_error_}};
            }
            return {InitResult{std::move(r.id), true, backend_text(speech_), std::nullopt}};
          },
          [&](ListVoices& r) -> std::vector<Message> {
            if (!speech_) {
              return {error_message(std::move(r.id), "list_voices_failed", unavailable_error())};
            }
            auto voices = speech_->voices(r.details);
            if (!voices)
              return {error_message(std::move(r.id), "list_voices_failed", voices.error())};
            return {ListVoicesResult{std::move(r.id), std::move(*voices)}};
          },
          [&](LoadDocument& r) -> std::vector<Message> { return {load_document(std::move(r))}; },
          [&](PrepareSpeech& r) -> std::vector<Message> { return {prepare_speech(r)}; },
          [&](PrepareSummary& r) -> std::vector<Message> { return {prepare_summary(r)}; },
          [&](Speak& r) -> std::vector<Message> { return {speak(r)}; },
          [&](SpeakSummary& r) -> std::vector<Message> { return {speak_summary(r)}; },
          [&](Stop& r) -> std::vector<Message> { return {stop(r)}; },
          [&](Pause& r) -> std::vector<Message> { return {pause(r)}; },
          [&](Resume& r) -> std::vector<Message> { return {resume(r)}; },
          [&](SetPronunciations& r) -> std::vector<Message> { return {set_pronunciations(r)}; },
          [&](Export& r) -> std::vector<Message> {
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
  return SetPronunciationsResult{request.id, count};
}

Message AppState::stop(const Stop& request) {
  paused_.reset();
  // An export ends with its own answer, a cancelled export_result.
  if (exporter_) exporter_->cancel();
  if (!speech_) return error_message(request.id, "stop_failed", unavailable_error());
  if (auto stopped = speech_->stop(); !stopped) {
    return error_message(request.id, "stop_failed", stopped.error());
  }
  forget_spoken();
  return StopResult{request.id};
}

void AppState::forget_spoken() {
  spoken_.clear();
  overdue_at_.reset();
  failure_.reset();
  unqueued_.reset();
}

namespace {

// What is wrong when nothing was ever heard: with no PulseAudio server where speech-dispatcher
// looks for one ($PULSE_SERVER when it names a socket, else the runtime directory's), that;
// otherwise only that nothing came out.
std::string no_audio_reason() {
  std::error_code error;
  const char* server = std::getenv("PULSE_SERVER");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string_view named = server != nullptr ? server : "";
  if (named.starts_with("unix:")) named.remove_prefix(5);
  std::filesystem::path socket;
  if (named.empty()) {
    socket = std::filesystem::path(runtime != nullptr && *runtime != '\0'
                                       ? runtime
                                       : "/run/user/" + std::to_string(getuid())) /
             "pulse" / "native";
  } else if (named.starts_with('/')) {
    socket = named;
  }
  if (!socket.empty() && !std::filesystem::exists(socket, error)) {
    return "no audio output: speech-dispatcher could not open PulseAudio (no server at " +
           socket.string() + "); start an audio server";
  }
  return "no audio output: the synthesizer made no sound and shows no sign of working; check "
         "the audio server";
}

}  // namespace

void AppState::expect_progress(std::size_t remaining) {
  const float rate = std::clamp(settings_.rate, 0.5f, 2.0f);
  const auto per_byte = std::chrono::duration_cast<std::chrono::milliseconds>(kStallPerByte / rate);
  progress_at_ = std::chrono::steady_clock::now();
  overdue_at_ = progress_at_ + kStallMargin +
                per_byte * static_cast<std::int64_t>(std::min<std::size_t>(remaining, 1u << 30));
}

void AppState::expect_next_begin() {
  if (spoken_.empty()) return;
  const SpokenUtterance& next = spoken_.handed(0).utterance;
  const auto& words = next.words();
  const std::size_t word = next.current_word.value_or(next.first_word);
  expect_progress(next.text().size() - (word < words.size() ? words[word].begin : 0));
}

bool AppState::speech_outstanding() {
  if (!speech_) return false;
  auto speaking = speech_->is_speaking();
  return speaking ? *speaking : !spoken_.empty();
}

bool AppState::give_up_if_stalled(std::chrono::steady_clock::time_point now,
                                  const std::function<void(Message)>& report) {
  if (!overdue_at_ || spoken_.empty()) return false;
  const auto life = speech_ ? speech_->last_sign_of_life() : std::nullopt;
  const std::chrono::milliseconds quiet = heard_ ? kStallQuiet : kFirstSoundQuiet;
  if (life ? now - std::max(*life, progress_at_) < quiet : now < *overdue_at_) return false;
  SpokenUtterance stalled = spoken_.handed(0).utterance;
  paused_.reset();
  forget_spoken();
  failure_ = Failure{std::move(stalled),
                     heard_ || !life ? "the synthesizer stopped responding" : no_audio_reason()};
  if (report) {
    if (auto failed = take_failure()) report(std::move(*failed));
  }
  if (speech_) (void)speech_->stop();  // bounded by the backend; nothing to report it to
  return true;
}

std::optional<Message> AppState::take_failure() {
  if (!failure_ || !spoken_.empty()) return std::nullopt;
  Failure failed = std::move(*failure_);
  failure_.reset();
  if (!settings_.word_events) return std::nullopt;
  const SpokenUtterance& u = failed.utterance;
  UtteranceFailed message;
  message.document_id = u.document_id;
  message.utterance_index = u.utterance_index;
  message.start_offset = u.start_offset;
  message.end_offset = u.end_offset;
  message.text = u.text();
  message.reason = std::move(failed.reason);
  return message;
}

void AppState::silence() {
  paused_.reset();
  forget_spoken();
  if (speech_) (void)speech_->stop();  // bounded by the backend; nothing to report it to
}

Message AppState::pause(const Pause& request) {
  if (!speech_ || spoken_.empty()) return PauseResult{request.id, false};
  std::vector<SpokenUtterance> rest = spoken_.take_position();
  overdue_at_.reset();
  // The position is kept even when the synthesizer cannot be told to stop (its connection is
  // gone, say): a later resume still continues from it.
  paused_ = PausedSpeech{settings_, std::move(rest)};
  if (auto stopped = speech_->stop(); !stopped) {
    return error_message(request.id, "pause_failed", stopped.error());
  }
  return PauseResult{request.id, true};
}

Message AppState::resume(const Resume& request) {
  if (!paused_ || !speech_) return ResumeResult{request.id, false, 0};
  SpeechSettings settings = paused_->settings;
  if (request.rate) settings.rate = *request.rate;
  if (request.voice_id) settings.voice_id = request.voice_id;
  if (auto configured = speech_->configure(settings.voice_id, settings.language, settings.rate,
                                           settings.word_events);
      !configured) {
    return error_message(request.id, "resume_failed", configured.error());
  }
  PausedSpeech resumed = std::move(*paused_);
  paused_.reset();
  forget_spoken();
  settings_ = settings;
  const std::uint64_t count = resumed.rest.size();
  auto handed = hand_over(std::move(resumed.rest));
  expect_next_begin();
  if (!handed) return error_message(request.id, "resume_failed", handed.error());
  return ResumeResult{request.id, true, count};
}

std::optional<Message> AppState::on_event(const SpeechEvent& event) {
  const std::string& key = event.id.text();
  switch (event.kind) {
    case SpeechEventKind::UtteranceBegin: {
      const SpokenUtterance* s = spoken_.begin(key);
      if (!s) return std::nullopt;
      const auto& words = s->words();
      const std::size_t from = s->first_word < words.size() ? words[s->first_word].begin : 0;
      expect_progress(s->text().size() - from);
      if (s->continued) return std::nullopt;  // a later part of an utterance already begun
      UtteranceBegin begin{
          {s->document_id, s->utterance_index, s->start_offset, s->end_offset, s->text()}};
      if (s->passage) {
        begin.with_voice = true;
        begin.language_code = code_of(s->language);
        begin.voice_id = s->voice_id;
      }
      return begin;
    }
    case SpeechEventKind::Word: {
      auto word = spoken_.word(key, event.word);
      if (!word) return std::nullopt;
      const SpokenUtterance& s = *spoken_.find_entry(key);
      const WordMark& w = s.words()[*word];
      expect_progress(s.text().size() - w.begin);
      if (!settings_.word_events) return std::nullopt;
      const WordSource& source = s.content->sources[*word];
      return UtteranceWord{s.document_id,
                           s.utterance_index,
                           source.start,
                           source.end,
                           w.begin,
                           w.end,
                           s.text().substr(w.begin, w.end - w.begin),
                           event.estimated};
    }
    case SpeechEventKind::UtteranceEnd: {
      auto done = spoken_.end(key);
      if (!done) return std::nullopt;
      heard_ = true;
      overdue_at_.reset();
      // The next utterance is already playing; queue the one after it. A failure here has no
      // request to answer: the waiting utterances are dropped, speech ends after the window, and
      // the first of them is reported as failed then.
      if (auto fed = feed(false); !fed && unqueued_) {
        failure_ = Failure{std::move(*unqueued_), fed.error().message};
        unqueued_.reset();
      }
      expect_next_begin();
      if (done->has_more_parts()) return std::nullopt;
      return UtteranceEnd{{std::move(done->document_id), done->utterance_index, done->start_offset,
                           done->end_offset, done->text()}};
    }
  }
  return std::nullopt;
}

Message AppState::error_message(std::string id, std::string code, const Error& failure) {
  return ErrorResult{std::move(id), std::move(code), failure.message};
}

Error AppState::unavailable_error() const {
  return Error(speech_error_ ? *speech_error_ : std::string(kUnavailable));
}

std::optional<Message> AppState::export_document(const Export& request) {
  const LoadedDocument* document = find_document(request.document_id, request.summary);
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
  exporting::ExportJob job;
  job.path = request.path;
  job.format = format;
  job.transcript_path = request.transcript;
  job.transcript_words = request.transcript_words;
  job.chapter_level =
      static_cast<unsigned>(std::min<std::uint64_t>(request.chapter_level.value_or(2), 6));
  job.language = document->language;
  job.pronunciations = pronunciations_;
  job.voice_id = request.voice_id;
  job.rate = request.rate.value_or(1.0f);
  job.person_locale = person_locale_from_environment();
  // The title is the document's first heading, wherever the range starts.
  for (const Utterance& u : document->utterances) {
    if (u.kind == UtteranceKind::Heading) {
      job.title = u.text;
      break;
    }
  }
  if (request.summary) {
    // Generated text: its words map to their utterance's range, and it has no chapters.
    for (const Utterance* u : select_range(document->summary, std::nullopt, std::nullopt)) {
      job.indexes.push_back(job.utterances.size());
      job.utterances.push_back(*u);
      job.heading_levels.push_back(0);
    }
  } else {
    std::size_t heading = 0;
    for (std::size_t i = 0; i < document->utterances.size(); ++i) {
      const Utterance& u = document->utterances[i];
      const bool is_heading = u.kind == UtteranceKind::Heading;
      const std::uint8_t level = is_heading && heading < document->heading_levels.size()
                                     ? document->heading_levels[heading]
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
    job.source_map = document->source_map;
  }
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
