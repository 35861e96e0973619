#include "main/playback.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <iterator>
#include <utility>

#include "main/document_store.h"
#include "speech/words.h"

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

// Source bytes of the text bytes [text_start, text_end) of `u`, utterance `index` of the list
// `map` describes.
WordSource word_source(const TextSourceMap& map, const Utterance& u, std::size_t index,
                       std::size_t text_start, std::size_t text_end) {
  const SourceSpan span = map.source_range(index, text_start, text_end);
  // A client highlights a word inside its utterance. A task item's "To do:" or "Done:" comes
  // from the box before the item's range and has no bytes of its own there: it gets the empty
  // range at the utterance's start.
  const std::uint64_t start = std::clamp<std::uint64_t>(span.first, u.start_offset, u.end_offset);
  const std::uint64_t end = std::clamp<std::uint64_t>(span.second, start, u.end_offset);
  return WordSource{start, end};
}

// The selected utterances of `order` as the spoken table keeps them, numbered in selection order.
std::vector<SpokenUtterance> spoken_list(const SpeechOrder& order,
                                         const std::vector<const Utterance*>& selection) {
  const bool from_source = order.text == SpeechOrder::Text::Document && order.source_map;
  std::vector<SpokenUtterance> list;
  list.reserve(selection.size());
  for (std::size_t i = 0; i < selection.size(); ++i) {
    const Utterance& u = *selection[i];
    const auto index = static_cast<std::size_t>(selection[i] - order.utterances.data());
    auto content = std::make_shared<SpokenText>();
    content->text = u.text;
    content->words = split_words(u.text);
    content->sources.reserve(content->words.size());
    for (const WordMark& w : content->words) {
      content->sources.push_back(from_source
                                     ? word_source(*order.source_map, u, index, w.begin, w.end)
                                     : WordSource{u.start_offset, u.end_offset});
    }
    SpokenUtterance s;
    s.document_id = order.document_id;
    s.utterance_index = i;
    s.start_offset = u.start_offset;
    s.end_offset = u.end_offset;
    s.content = std::move(content);
    if (order.passages) {
      s.passage = true;
      s.language = index < order.languages.size() ? order.languages[index] : order.how.language;
    }
    list.push_back(std::move(s));
  }
  return list;
}

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

void SpeechPlayback::attach_engine(Result<SpeechEngine> created) {
  if (created) {
    engine_.emplace(std::move(*created));
  } else {
    engine_error_ = created.error().message;
  }
}

Error SpeechPlayback::unavailable_error() const {
  return Error(engine_error_ ? *engine_error_ : std::string(kUnavailable));
}

SpeechPlayback::State SpeechPlayback::state() const {
  if (paused_) return State::Paused;
  return spoken_.empty() && !spoken_.has_waiting() ? State::Idle : State::Speaking;
}

std::optional<SpeechPlayback::PausedSpeech> SpeechPlayback::take_pause() {
  return std::exchange(paused_, std::nullopt);
}

void SpeechPlayback::drop_position_in(const std::string& document_id) {
  if (paused_ && paused_->document_id == document_id) (void)take_pause();
}

Result<std::uint64_t> SpeechPlayback::speak(const SpeechOrder& order) {
  (void)take_pause();
  const std::vector<const Utterance*> selection =
      select_range(order.utterances, order.start_offset, order.end_offset);
  if (selection.empty()) return std::uint64_t{0};

  forget_spoken();
  if (!engine_) return fail(unavailable_error());
  const Voicing& how = order.how;
  if (auto configured = engine_->configure(how.voice_id, how.language, how.rate, how.word_events);
      !configured) {
    return fail(configured.error());
  }
  if (auto stopped = engine_->stop(); !stopped) return fail(stopped.error());
  document_id_ = order.document_id;
  how_ = how;
  if (auto handed = hand_over(spoken_list(order, selection)); !handed) {
    return fail(handed.error());
  }
  return static_cast<std::uint64_t>(selection.size());
}

Result<void> SpeechPlayback::stop() {
  (void)take_pause();
  if (!engine_) return fail(unavailable_error());
  if (auto stopped = engine_->stop(); !stopped) return fail(stopped.error());
  forget_spoken();
  return {};
}

Result<bool> SpeechPlayback::pause() {
  if (!engine_ || spoken_.empty()) return false;
  std::vector<SpokenUtterance> rest = spoken_.take_position();
  set_clock(nullptr);
  // The position is kept even when the synthesizer cannot be told to stop (its connection is
  // gone, say): a later resume still continues from it.
  paused_ = PausedSpeech{document_id_, how_, std::move(rest)};
  if (auto stopped = engine_->stop(); !stopped) return fail(stopped.error());
  return true;
}

Result<std::optional<std::uint64_t>> SpeechPlayback::resume(
    std::optional<float> rate, const std::optional<std::string>& voice_id) {
  if (!paused_ || !engine_) return std::optional<std::uint64_t>{};
  Voicing how = paused_->how;
  if (rate) how.rate = *rate;
  if (voice_id) how.voice_id = voice_id;
  if (auto configured = engine_->configure(how.voice_id, how.language, how.rate, how.word_events);
      !configured) {
    return fail(configured.error());
  }
  PausedSpeech resumed = std::move(*take_pause());
  document_id_ = std::move(resumed.document_id);
  how_ = std::move(how);
  const std::uint64_t count = resumed.rest.size();
  if (auto handed = hand_over(std::move(resumed.rest)); !handed) return fail(handed.error());
  return std::optional<std::uint64_t>{count};
}

void SpeechPlayback::silence() {
  (void)take_pause();
  forget_spoken();
  if (engine_) (void)engine_->stop();  // bounded by the backend; nothing to report it to
}

void SpeechPlayback::forget_spoken() {
  spoken_.clear();
  set_clock(nullptr);
  failure_.reset();
  unqueued_.reset();
}

Result<void> SpeechPlayback::hand_over(std::vector<SpokenUtterance> utterances) {
  forget_spoken();
  spoken_.set_waiting(std::deque<SpokenUtterance>(std::make_move_iterator(utterances.begin()),
                                                  std::make_move_iterator(utterances.end())));
  auto fed = feed(true);
  wait_for_front();
  return fed;
}

Result<void> SpeechPlayback::feed(bool interrupt_first) {
  bool interrupt = interrupt_first;
  // Utterances spoken without an id cannot be followed to their end, so they never count
  // against the window: with such a backend everything is handed over at once.
  while (engine_ && spoken_.size() < kWindow) {
    std::optional<SpokenUtterance> next = spoken_.take_waiting();
    if (!next) break;
    auto id = hand_one(*next, interrupt);
    interrupt = false;
    ++handed_;
    if (!id) {
      spoken_.set_waiting({});
      unqueued_ = std::move(*next);
      return fail(id.error());
    }
    if (*id) spoken_.record((*id)->text(), std::move(*next));
  }
  return {};
}

Result<std::optional<UtteranceId>> SpeechPlayback::hand_one(SpokenUtterance& u, bool interrupt) {
  const std::vector<WordMark>& words = u.words();
  const std::string& text = u.text();
  const std::size_t first = std::min(u.first_word, words.size());
  // A resumed utterance starts at its paused word, a later part at its first word; the marks
  // are counted from there.
  const std::size_t cut = u.first_byte();
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
  if (u.passage) {
    auto voice = engine_->use_voice_for(u.language, how_.voice_id);
    if (!voice) return fail(std::move(voice.error()));
    u.voice_id = std::move(*voice);
  }
  const std::string_view part = std::string_view(text).substr(cut, stop - cut);
  // The synthesizer hears the listed words as the user wants them said; the marks, one per
  // word as before, keep the events about the words of the text.
  const auto said =
      pronunciations_ ? pronunciations_->apply(part, marks, u.passage ? u.language : how_.language)
                      : std::nullopt;
  return said ? engine_->speak(said->text, said->marks, interrupt)
              : engine_->speak(part, marks, interrupt);
}

void SpeechPlayback::set_clock(const SpokenUtterance* due, std::size_t word) {
  if (!due) {
    overdue_at_.reset();
    return;
  }
  const std::size_t remaining = due->text().size() - due->start_of(word);
  const float rate = std::clamp(how_.rate, 0.5f, 2.0f);
  const auto per_byte = std::chrono::duration_cast<std::chrono::milliseconds>(kStallPerByte / rate);
  progress_at_ = std::chrono::steady_clock::now();
  overdue_at_ = progress_at_ + kStallMargin +
                per_byte * static_cast<std::int64_t>(std::min<std::size_t>(remaining, 1u << 30));
}

void SpeechPlayback::wait_for_front() {
  if (spoken_.empty()) return set_clock(nullptr);
  const SpokenUtterance& next = spoken_.handed(0).utterance;
  set_clock(&next, next.current_word.value_or(next.first_word));
}

bool SpeechPlayback::speech_outstanding() {
  if (!engine_) return false;
  auto speaking = engine_->is_speaking();
  return speaking ? *speaking : !spoken_.empty();
}

bool SpeechPlayback::give_up_if_stalled(std::chrono::steady_clock::time_point now,
                                        const std::function<void(Message)>& report) {
  // Paused speech holds no handed utterance: a pause never stalls.
  if (!overdue_at_ || spoken_.empty()) return false;
  const auto life = engine_ ? engine_->last_sign_of_life() : std::nullopt;
  const std::chrono::milliseconds quiet = heard_ ? kStallQuiet : kFirstSoundQuiet;
  if (life ? now - std::max(*life, progress_at_) < quiet : now < *overdue_at_) return false;
  SpokenUtterance stalled = spoken_.handed(0).utterance;
  (void)take_pause();
  forget_spoken();
  failure_ = Failure{std::move(stalled),
                     heard_ || !life ? "the synthesizer stopped responding" : no_audio_reason()};
  if (report) {
    if (auto failed = take_failure()) report(std::move(*failed));
  }
  if (engine_) (void)engine_->stop();  // bounded by the backend; nothing to report it to
  return true;
}

std::optional<Message> SpeechPlayback::take_failure() {
  if (!failure_ || !spoken_.empty()) return std::nullopt;
  Failure failed = std::move(*failure_);
  failure_.reset();
  if (!how_.word_events) return std::nullopt;
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

std::optional<Message> SpeechPlayback::on_event(const SpeechEvent& event) {
  const std::string& key = event.id.text();
  switch (event.kind) {
    case SpeechEventKind::UtteranceBegin:
      return on_begin(key);
    case SpeechEventKind::Word:
      return on_word(key, event);
    case SpeechEventKind::UtteranceEnd:
      return on_end(key);
  }
  return std::nullopt;
}

std::optional<Message> SpeechPlayback::on_begin(const std::string& key) {
  const SpokenUtterance* s = spoken_.begin(key);
  if (!s) return std::nullopt;
  set_clock(s, s->first_word);
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

std::optional<Message> SpeechPlayback::on_word(const std::string& key, const SpeechEvent& event) {
  auto word = spoken_.word(key, event.word);
  if (!word) return std::nullopt;
  const SpokenUtterance& s = *spoken_.find_entry(key);
  set_clock(&s, *word);
  if (!how_.word_events) return std::nullopt;
  const WordMark& w = s.words()[*word];
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

std::optional<Message> SpeechPlayback::on_end(const std::string& key) {
  auto done = spoken_.end(key);
  if (!done) return std::nullopt;
  heard_ = true;
  // The next utterance is already playing; queue the one after it. A failure here has no
  // request to answer: the waiting utterances are dropped, speech ends after the window, and
  // the first of them is reported as failed then.
  if (auto fed = feed(false); !fed && unqueued_) {
    failure_ = Failure{std::move(*unqueued_), fed.error().message};
    unqueued_.reset();
  }
  wait_for_front();
  if (done->has_more_parts()) return std::nullopt;
  return UtteranceEnd{{std::move(done->document_id), done->utterance_index, done->start_offset,
                       done->end_offset, done->text()}};
}

}  // namespace mdspeak
