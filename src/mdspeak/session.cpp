#include "session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "display.h"
#include "pending.h"
#include "playback.h"
#include "pronunciations.h"
#include "requests.h"
#include "utterances.h"
#include "voices.h"

namespace mdspeak::client {

namespace {

using Clock = std::chrono::steady_clock;
using Phase = Playback::Phase;
using namespace std::chrono_literals;

constexpr auto kPauseAnswerBound = 400ms;  // a service without pause never answers
constexpr auto kStopAnswerBound = 2s;
// The service stops a speech daemon it started before it exits (one without an audio output
// first refuses a cancel for 2 s, then takes a SIGKILL after 1 s); killed sooner, it would leave
// the daemon behind.
constexpr auto kServiceExitBound = 5s;
constexpr auto kTick = 250ms;
// A service that stops answering is an error, never a hang (loading the largest document we
// accept takes a few seconds).
constexpr auto kSpeakAnswerBound = 30s;
// From this size on a document's head is spoken while the rest loads (a 256 KB load takes the
// service some 10 ms on a quiet machine, a 10 MB one 0.1-0.3 s); the head is minutes of speech.
constexpr std::size_t kHeadFrom = 256 * 1024;
constexpr std::size_t kHeadBytes = 8 * 1024;
constexpr const char* kWhereId = "where";  // the words of `w`, a document of their own
// What `t` cycles through, in minutes (0: off).
constexpr std::array<int, 4> kSleepChoices = {0, 15, 30, 60};

}  // namespace

class Session::Reading {
 public:
  Reading(const Options& options, std::string source, ServiceConnection service, SessionIo io)
      : options_(options),
        source_(std::move(source)),
        lines_(source_),
        service_(std::move(service)),
        io_(io),
        rate_(options.rate),
        voice_(options.voice) {
    title_ = options.file == "-" ? "standard input"
                                 : std::filesystem::path(options.file).filename().string();
  }

  int run(const ByteRange& range);
  void remember_in(std::optional<Memory> memory, ResumeAt resume) {
    memory_ = std::move(memory);
    resume_ = std::move(resume);
  }

 private:
  enum class Mode { kDocument, kSummary };
  // A long document's head, loaded and spoken first under the same id so that its first words
  // do not wait for the whole load: where it ends, and how many utterances its speech queued.
  struct Head {
    std::uint64_t end = 0;
    bool sent = false;  // its speech request went out
    std::optional<std::uint64_t> queued;
  };
  // The document's language, as the service detected it, and the voice asked for: the status
  // line's "English, voice Daniel".
  struct Speaker {
    std::string language;
    std::string voice_name;
    // Of the utterance being heard, from its begin (natural reading: a mixed document switches
    // language and voice); unset until the service says.
    std::optional<std::string> speaking_language;
    std::optional<std::string> speaking_voice;
  };
  // What the time left is estimated from.
  struct Estimate {
    std::size_t measured_chars = 0;  // of utterances heard from begin to end
    double measured_seconds = 0;     // their time, scaled to rate 1.0
    std::optional<double> shown;     // none after a jump: the new figure holds at once
    Clock::time_point at;
    Clock::time_point utterance_began;
  };

  // ---- Requests ----
  std::string send(Json request, Purpose purpose, const std::string& what);
  void send(const Json& request) {
    if (!service_.send(dump(request))) fail(died(service_));
  }
  // Right after init, before the document: requests that set the service up for this session
  // (their answers come before the load's).
  void send_setup() {
    if (auto pronunciations = pronunciations_request(options_.pronunciations)) {
      send(*pronunciations);
    }
  }
  // Loads the document, prepares it and speaks the chosen range.
  void start(bool natural);
  bool starts_with_head() const;
  void send_head(bool natural);
  // `from` (a source offset) replaces the start of utterance `index`, which may not be known yet.
  void speak_from(std::size_t index, std::optional<std::uint64_t> from = std::nullopt);
  Json speak_request(std::size_t& index, std::optional<std::uint64_t> from, Purpose& purpose);
  // The head's speech is over: the rest of the document goes on from `offset`.
  void continue_after_head(std::uint64_t offset);

  // ---- Answers and events ----
  void handle_line(const std::string& line);
  void on_init(const Json& message);
  void on_error(std::optional<Purpose> purpose, const Json& message);
  void on_prepared(const Json& message);
  void on_voices(const Json& message);
  void on_speak_result(Purpose purpose, const Json& message);
  void on_pause_result(const Json& message);
  void on_event(const std::string& type, const Json& message);
  void on_begin(std::size_t index, const Json& message);
  void on_end(std::size_t index, const Json& message);
  void on_failed(std::size_t index, const Json& message);
  // Events are followed while speech runs and its answer has come (earlier events belong to
  // speech that was replaced).
  bool follows_events() const {
    return (playback_.is(Phase::kSpeaking) || playback_.is(Phase::kPausing)) &&
           !pending_.awaits_speech();
  }

  // ---- Keys, signals and what they do ----
  void handle_key(unsigned char key);
  void handle_signal(int number);
  void toggle_pause();
  void pause(bool then_resume);
  void pause_by_stopping(bool then_resume);
  void suspend();
  void resume();
  void change_rate(double delta);
  void jump_to(std::optional<std::size_t> index, const char* none);
  void toggle_summary();
  void cycle_sleep();
  // `w`: speaks where the reading is, then goes on from the same utterance.
  void where_am_i();
  void back_from_where();
  // At an utterance's end: true when the sleep timer has run out and the reading stops there.
  bool sleep_due(std::size_t ended);
  void quit(int code);
  void finish();

  // ---- The loop ----
  void read_inputs(const pollfd* fds, bool& dirty);
  void check_deadlines(bool& dirty);
  int conclude();
  void fail(std::string text, int status = 1) {
    if (!failure_) failure_ = Failure{std::move(text), status};
  }

  // ---- Display ----
  // One line for standard error: at once, or after the display when there is one (and on it
  // meanwhile).
  void warn(const std::string& text);
  void note(std::string text) {
    message_ = std::move(text);
    message_until_ = Clock::now() + 3s;
  }
  void draw();
  std::string status_word() const;
  std::string voice_label() const;
  std::optional<double> remaining();
  void save_position() const;
  // The list being spoken: the document's, or the summary's (empty until prepared).
  const std::vector<PlacedUtterance>& list() const {
    static const std::vector<PlacedUtterance> kNone;
    if (mode_ == Mode::kDocument) return document_;
    return summary_ ? *summary_ : kNone;
  }

  // Fixed for the session.
  const Options& options_;
  std::string source_;
  LineIndex lines_;
  ServiceConnection service_;
  SessionIo io_;
  std::string title_;
  ByteRange range_;

  // The conversation with the service.
  PendingRequests pending_;
  int counter_ = 0;
  bool reloading_ = false;  // the natural reading was refused: errors until the plain load are
                            // of requests sent for the refused one
  std::optional<bool> pause_supported_;  // known once a pause was answered, or not in time

  // What is read, and where.
  std::vector<PlacedUtterance> document_;
  std::optional<std::vector<PlacedUtterance>> summary_;  // once prepared
  std::optional<Head> head_;
  Mode mode_ = Mode::kDocument;
  std::size_t document_position_ = 0;  // where the document continues after the summary
  Playback playback_;
  std::size_t current_ = 0;
  std::size_t base_ = 0;  // the list index of the current speech's utterance 0
  std::optional<Span> word_;
  std::uint64_t word_offset_ = 0;            // in the source, for the position shown
  bool started_ = false;                     // some utterance has begun
  bool nothing_spoken_ = false;              // the first speech had nothing to say
  std::optional<std::size_t> where_return_;  // the words of `w` are being spoken
  double rate_ = 1.0;
  std::optional<std::string> voice_;  // the id sent: --voice, or the voice it was found to name
  Speaker speaker_;
  std::optional<Clock::time_point> sleep_at_;
  std::size_t sleep_choice_ = 0;  // of kSleepChoices
  Estimate estimate_;

  // How the session ends.
  struct Failure {
    std::string text;
    int status = 1;
  };
  std::optional<Failure> failure_;
  std::optional<int> exit_code_;

  // The screen.
  std::string message_;
  Clock::time_point message_until_;
  bool help_ = false;
  std::vector<std::string> warnings_;  // for standard error once the screen is given back

  std::optional<Memory> memory_;
  ResumeAt resume_;
};

// ---- Requests ----

std::string Session::Reading::send(Json request, Purpose purpose, const std::string& what) {
  std::string id = request.contains("id") ? request["id"].get<std::string>()
                                          : what + "-" + std::to_string(++counter_);
  request["id"] = id;
  pending_.add(id, purpose);
  send(request);
  return id;
}

bool Session::Reading::starts_with_head() const {
  return !reloading_ && mode_ == Mode::kDocument && range_.start == 0 && !range_.end &&
         !resume_.offset && !resume_.by_heading && !options_.voice && source_.size() >= kHeadFrom;
}

void Session::Reading::send_head(bool natural) {
  auto cut = head_cut(source_, kHeadBytes);
  if (!cut) return;
  head_ = Head{*cut, false, std::nullopt};
  Json head = load_request(source_.substr(0, *cut), natural);
  head["id"] = "load-head";
  send(head, Purpose::kLoadHead, "");
  // Its list shows and locates the head's utterances until the whole list replaces it.
  send({{"type", "prepare_speech"}, {"id", "prepare-head"}, {"document_id", kDocumentId}},
       Purpose::kPrepareHead, "");
  speak_from(0);
}

void Session::Reading::start(bool natural) {
  // Everything the first word needs goes out at once; the service answers in order.
  // A long document takes the service a while to load: its head is loaded and spoken first, and
  // the whole text replaces it under the same id while the first words are heard. Not again when
  // the natural reading was refused and the document is loaded the plain way.
  if (starts_with_head()) send_head(natural);
  send(load_request(source_, natural), Purpose::kLoad, "");
  Json prepare = {{"type", "prepare_speech"}, {"id", "prepare"}, {"document_id", kDocumentId}};
  prepare["start_offset"] = range_.start;
  if (range_.end) prepare["end_offset"] = *range_.end;
  send(prepare, Purpose::kPrepare, "");
  // The summary list must be known before its speech begins; for the document, the summary is
  // only needed for `s`, so it does not delay the first word.
  Json prepare_summary = {
      {"type", "prepare_summary"}, {"id", "summary"}, {"document_id", kDocumentId}};
  if (mode_ == Mode::kSummary) send(prepare_summary, Purpose::kSummary, "");
  // Answered before the speech begins, so a wrong voice is refused before it is heard.
  if (options_.voice && !reloading_) {
    send({{"type", "list_voices"}, {"id", "voices"}}, Purpose::kVoices, "");
  }
  // The list is not known yet: this speaks the chosen range, or from the remembered offset; a
  // remembered heading waits for the list.
  if (!head_ && (!resume_.by_heading || mode_ != Mode::kDocument)) speak_from(0);
  if (mode_ == Mode::kDocument) send(prepare_summary, Purpose::kSummary, "");
}

Json Session::Reading::speak_request(std::size_t& index, std::optional<std::uint64_t> from,
                                     Purpose& purpose) {
  purpose = Purpose::kSpeak;
  if (mode_ == Mode::kSummary) {
    // The summary is spoken whole: speak_summary takes no range.
    index = 0;
    return {{"type", "speak_summary"}, {"document_id", kDocumentId}};
  }
  Json request = {{"type", "speak"}, {"document_id", kDocumentId}};
  std::uint64_t start =
      index < document_.size() ? document_[index].start : resume_.offset.value_or(range_.start);
  if (from) start = *from;
  request["start_offset"] = start;
  if (range_.end) request["end_offset"] = *range_.end;
  if (head_ && !head_->sent) {
    request["end_offset"] = head_->end;
    head_->sent = true;
    purpose = Purpose::kSpeakHead;
  } else {
    head_.reset();  // any later speech is of the whole document
  }
  // The request's utterance 0 is the first one whose range ends after the start.
  if (index < document_.size()) index = first_selected(document_, start);
  return request;
}

void Session::Reading::speak_from(std::size_t index, std::optional<std::uint64_t> from) {
  where_return_.reset();
  estimate_.shown.reset();  // a jump, a new rate or the other list: the new figure holds at once
  Purpose purpose;
  Json request = speak_request(index, from, purpose);
  request["rate"] = rate_;
  if (voice_) request["voice_id"] = *voice_;
  request["word_events"] = true;
  if (!playback_.speak()) return;
  pending_.forget_speech();
  pending_.forget(Purpose::kPause);
  send(request, purpose, "speak");
  base_ = index;
  current_ = index;
  word_.reset();
}

void Session::Reading::continue_after_head(std::uint64_t offset) {
  head_.reset();
  std::size_t next = 0;
  while (next < document_.size() && document_[next].start < offset) ++next;
  speak_from(next, offset);
}

// ---- Answers and events ----

void Session::Reading::handle_line(const std::string& line) {
  if (options_.json) {
    std::fprintf(io_.out, "%s\n", line.c_str());
    if (std::fflush(io_.out) != 0) quit(1);
  }
  Json message = Json::parse(line, nullptr, false);
  if (!message.is_object() || !message.contains("type") || !message["type"].is_string()) return;
  const auto type = message["type"].get<std::string>();
  // Events carry no id; an answer is matched to the request it answers.
  std::optional<Purpose> purpose;
  if (message.contains("id") && message["id"].is_string()) {
    purpose = pending_.take(message["id"].get<std::string>());
  }
  if (type == "init_result") {
    on_init(message);
  } else if (type == "error_result") {
    on_error(purpose, message);
  } else if (type == "load_document_result") {
    if (purpose == Purpose::kLoad) reloading_ = false;
  } else if (type == "prepare_speech_result") {
    on_prepared(message);
  } else if (type == "prepare_summary_result") {
    auto list = utterances_from_json(message["utterances"], lines_);
    summary_ = list ? std::move(*list) : std::vector<PlacedUtterance>{};
  } else if (type == "list_voices_result") {
    if (purpose == Purpose::kVoices) on_voices(message);
  } else if (type == "speak_result") {
    if (purpose) on_speak_result(*purpose, message);
  } else if (type == "pause_result") {
    if (purpose == Purpose::kPause) on_pause_result(message);
  } else if (type == "stop_result") {
    auto* stopping = playback_.as<Playback::Stopping>();
    if (purpose == Purpose::kStop && stopping != nullptr) exit_code_ = stopping->code;
  } else if (type.starts_with("utterance_")) {
    on_event(type, message);
  }
}

void Session::Reading::on_init(const Json& message) {
  if (message.value("available", false)) return;
  auto why = message["message"].is_string() ? message["message"].get<std::string>()
                                            : std::string("no reason given");
  fail("no speech synthesizer is available: " + why);
}

void Session::Reading::on_error(std::optional<Purpose> purpose, const Json& message) {
  if (!playback_.live()) return;
  bool load = purpose == Purpose::kLoad || purpose == Purpose::kLoadHead;
  if (load && refuses_reading(message) && !reloading_) {
    // Read it the plain way; what was sent after the refused load fails as not loaded.
    reloading_ = true;
    head_.reset();
    start(false);
    return;
  }
  if (reloading_) return;
  if (purpose == Purpose::kPause) {
    // The pause failed: fall back on stopping and restarting the utterance.
    pause_supported_ = false;
    bool then_resume = playback_.as<Playback::Pausing>() != nullptr &&
                       playback_.as<Playback::Pausing>()->then_resume;
    playback_.pause_failed();
    pause_by_stopping(then_resume);
    return;
  }
  if (purpose == Purpose::kVoices) return;  // the voice cannot be checked; the service speaks
  if (purpose == Purpose::kResume) {
    speak_from(current_);
    return;
  }
  fail(message.value("message", std::string("the service reported an error")));
}

void Session::Reading::on_prepared(const Json& message) {
  auto list = utterances_from_json(message["utterances"], lines_);
  if (!list) {
    fail(list.error().message);
    return;
  }
  document_ = std::move(*list);
  if (message.contains("language_code") && message["language_code"].is_string()) {
    speaker_.language = language_name(message["language_code"].get<std::string>());
  }
  if (mode_ != Mode::kDocument) return;
  if (resume_.offset) {
    // The first speech began at the remembered offset before the list was known: its
    // utterance 0 is the one selected there.
    base_ = current_ = first_selected(document_, *resume_.offset);
    resume_.offset.reset();
  }
  if (resume_.by_heading) {
    // The edited file's utterances are known now: begin at the remembered heading.
    auto found = find_heading_again(document_, *resume_.by_heading);
    resume_.by_heading.reset();
    speak_from(found.value_or(0));
  }
}

void Session::Reading::on_voices(const Json& message) {
  // The service falls back on another voice for an unknown id: a typo would go unnoticed.
  auto chosen = choose_voice(message.value("voices", Json::array()), *options_.voice);
  if (!chosen) {
    fail("no voice '" + *options_.voice + "'; mdspeak --list-voices lists them", 2);
    return;
  }
  speaker_.voice_name = chosen->name.empty() ? chosen->id : chosen->name;
  if (chosen->exact) return;
  voice_ = chosen->id;
  warn("voice '" + *options_.voice + "': using " + speaker_.voice_name +
       (chosen->id == speaker_.voice_name ? "" : " (" + chosen->id + ")"));
  // The speech went out with the words as typed, which the service does not know as an id.
  if (playback_.is(Phase::kSpeaking)) speak_from(current_);
}

void Session::Reading::on_speak_result(Purpose purpose, const Json& message) {
  const auto queued = message.value("queued", std::uint64_t{0});
  if (purpose == Purpose::kSpeakHead && head_) {
    head_->queued = queued;
    if (queued == 0) continue_after_head(head_->end);
    return;
  }
  if (queued != 0) return;
  if (purpose == Purpose::kSpeakWhere && where_return_) {
    back_from_where();
  } else if (purpose == Purpose::kSpeak && playback_.is(Phase::kSpeaking)) {
    nothing_spoken_ = !started_;
    finish();
  }
}

void Session::Reading::on_pause_result(const Json& message) {
  pause_supported_ = true;
  auto* pausing = playback_.as<Playback::Pausing>();
  bool then_resume = pausing != nullptr && pausing->then_resume;
  if (!playback_.paused(message.value("paused", false))) return;
  if (then_resume) resume();
}

void Session::Reading::on_event(const std::string& type, const Json& message) {
  if (!follows_events()) return;
  const std::string document = message.value("document_id", "");
  if (where_return_ && document == kWhereId) {
    // Heard (or given up on): back to the reading, at the utterance it had reached.
    if (type == "utterance_end" || type == "utterance_failed") back_from_where();
    return;
  }
  if (document != kDocumentId) return;
  std::size_t index =
      locate(list(), base_, message.value("utterance_index", 0ull),
             message.value("start_offset", 0ull), message.value("end_offset", 0ull));
  if (type == "utterance_begin") {
    on_begin(index, message);
  } else if (type == "utterance_word") {
    current_ = index;
    word_ = Span{message.value("text_start", std::size_t{0}),
                 message.value("text_end", std::size_t{0})};
    word_offset_ = message.value("start_offset", 0ull);
  } else if (type == "utterance_end") {
    on_end(index, message);
  } else if (type == "utterance_failed") {
    on_failed(index, message);
  }
}

void Session::Reading::on_begin(std::size_t index, const Json& message) {
  if (message.contains("language_code")) {
    const Json& code = message["language_code"];
    speaker_.speaking_language = code.is_string() ? language_name(code.get<std::string>()) : "";
    const Json voice = message.value("voice_id", Json());
    speaker_.speaking_voice =
        voice.is_string() ? std::optional(voice.get<std::string>()) : std::nullopt;
  }
  current_ = index;
  word_.reset();
  started_ = true;
  estimate_.utterance_began = Clock::now();
  if (!io_.draws && !options_.json && index < list().size()) {
    std::fprintf(io_.out, "%s\n", plain_line(list()[index]).c_str());
    if (std::fflush(io_.out) != 0) quit(1);  // nobody reads any more: stop speaking too
  }
}

void Session::Reading::on_end(std::size_t index, const Json& message) {
  const auto& utterances = list();
  if (index < utterances.size() && playback_.is(Phase::kSpeaking) && current_ == index) {
    estimate_.measured_chars += utterances[index].text.size();
    estimate_.measured_seconds +=
        std::chrono::duration<double>(Clock::now() - estimate_.utterance_began).count() * rate_;
  }
  word_.reset();
  if (head_) {
    if (head_->queued && message.value("utterance_index", 0ull) + 1 >= *head_->queued &&
        playback_.is(Phase::kSpeaking)) {
      continue_after_head(message.value("end_offset", head_->end));
    }
    return;
  }
  if (sleep_due(index)) return;
  if (index + 1 >= utterances.size() && playback_.is(Phase::kSpeaking)) finish();
}

void Session::Reading::on_failed(std::size_t index, const Json& message) {
  // The service gave up on the speech from here (a synthesizer that stopped working): say
  // where and why, and stop rather than wait for an end that will not come.
  const auto& utterances = list();
  const std::string where =
      index < utterances.size() ? " at " + format_position(utterances[index].from) : "";
  auto reason = message.value("reason", std::string("the synthesizer failed"));
  // Nothing was ever heard: the place does not matter, the audio does; and a file needs none.
  if (reason.starts_with("no audio output")) {
    fail(reason + ", or use --output FILE");
  } else {
    fail("speech stopped" + where + ": " + reason);
  }
}

// ---- Keys, signals and what they do ----

void Session::Reading::handle_key(unsigned char key) {
  if (!playback_.live()) return;
  switch (key) {
    case ' ':
      toggle_pause();
      break;
    case 'n':
      jump_to(next_block(document_, current_), "this is the last utterance");
      break;
    case 'p':
      jump_to(previous_block(document_, current_), "this is the first utterance");
      break;
    case ']':
      jump_to(next_heading(document_, current_), "no heading follows");
      break;
    case '[':
      jump_to(previous_heading(document_, current_), "no heading before this");
      break;
    case '+':
    case '=':
      change_rate(0.1);
      break;
    case '-':
    case '_':
      change_rate(-0.1);
      break;
    case 's':
      toggle_summary();
      break;
    case 't':
      cycle_sleep();
      break;
    case 'w':
      where_am_i();
      break;
    case '?':
    case 'h':
      help_ = !help_;
      break;
    case 'q':
    case 'Q':
      quit(0);
      break;
    case 0x03:  // Ctrl-C arrives as a key in raw mode
      quit(130);
      break;
    case 0x1a:  // Ctrl-Z, likewise
      suspend();
      break;
    default:
      break;
  }
}

void Session::Reading::handle_signal(int number) {
  switch (number) {
    case SIGWINCH:
      break;  // the next draw reads the new size
    case SIGINT:
      quit(130);
      break;
    default:
      quit(128 + number);
      break;
  }
}

void Session::Reading::toggle_pause() {
  if (playback_.is(Phase::kPaused)) {
    resume();
  } else if (auto* pausing = playback_.as<Playback::Pausing>()) {
    // Pressed again before the pause was answered: resume as soon as it is.
    pausing->then_resume = !pausing->then_resume;
  } else {
    pause(false);
  }
}

void Session::Reading::pause(bool then_resume) {
  if (!playback_.is(Phase::kSpeaking)) return;
  if (!pause_supported_.value_or(true)) {
    pause_by_stopping(then_resume);
    return;
  }
  playback_.pause(Clock::now() + kPauseAnswerBound, then_resume);
  send({{"type", "pause"}}, Purpose::kPause, "pause");
}

void Session::Reading::pause_by_stopping(bool then_resume) {
  // Without the service's pause, stop now and start the utterance again on resume.
  send({{"type", "stop"}}, Purpose::kStopSpeech, "stop");
  pending_.forget_speech();
  if (then_resume) {
    speak_from(current_);
  } else {
    playback_.stopped_for_pause();
  }
}

void Session::Reading::suspend() {
  // The service runs in a process group of its own and would go on speaking: pause it first.
  // Before the speech has begun there is nothing to pause yet, and the key is let go.
  if (playback_.is(Phase::kStarting) || io_.terminal == nullptr) return;
  pause(false);
  io_.terminal->suspend();
}

void Session::Reading::resume() {
  auto* paused = playback_.as<Playback::Paused>();
  if (paused == nullptr) return;
  if (!paused->exact) {
    speak_from(current_);
    return;
  }
  Json request = {{"type", "resume"}, {"rate", rate_}};
  if (voice_) request["voice_id"] = *voice_;
  playback_.resume();
  send(request, Purpose::kResume, "resume");
}

void Session::Reading::change_rate(double delta) {
  double rate = std::clamp(std::round((rate_ + delta) * 10) / 10, 0.5, 2.0);
  if (rate == rate_) {
    note(delta > 0 ? "fastest rate already" : "slowest rate already");
    return;
  }
  rate_ = rate;
  estimate_.shown.reset();
  char text[48];
  std::snprintf(text, sizeof text, "rate %.1f×", rate_);
  note(text);
  // From the current word: pause, then resume at the new rate.
  pause(true);
}

void Session::Reading::jump_to(std::optional<std::size_t> index, const char* none) {
  if (mode_ == Mode::kSummary) {
    note("the summary is spoken whole; s goes back to the document");
    return;
  }
  if (!index || *index >= document_.size()) {
    note(none);
    return;
  }
  speak_from(*index);
}

void Session::Reading::toggle_summary() {
  if (!summary_) {
    note("the summary is not ready yet");
    return;
  }
  if (mode_ == Mode::kDocument) {
    if (summary_->empty()) {
      note("this document has no summary");
      return;
    }
    document_position_ = current_;
    mode_ = Mode::kSummary;
    speak_from(0);
  } else {
    mode_ = Mode::kDocument;
    speak_from(document_position_);
  }
}

void Session::Reading::cycle_sleep() {
  sleep_choice_ = (sleep_choice_ + 1) % kSleepChoices.size();
  int minutes = kSleepChoices[sleep_choice_];
  if (minutes == 0) {
    sleep_at_.reset();
    note("sleep timer off");
  } else {
    sleep_at_ = Clock::now() + std::chrono::minutes(minutes);
    note("sleep in " + std::to_string(minutes) + " min, at the end of a sentence");
  }
}

void Session::Reading::where_am_i() {
  if (mode_ != Mode::kDocument || current_ >= document_.size()) {
    note(mode_ == Mode::kSummary ? "w tells the place in the document; s goes back to it"
                                 : "not reading yet");
    return;
  }
  if (!playback_.is(Phase::kSpeaking) && !playback_.is(Phase::kPaused)) return;
  // The service speaks loaded documents only: the words are loaded under an id of their own.
  std::size_t back = where_return_.value_or(current_);
  send({{"type", "load_document"},
        {"document_id", kWhereId},
        {"text", where_words(document_, back, source_)}},
       Purpose::kLoadWhere, "load");
  Json request = {{"type", "speak"}, {"document_id", kWhereId}, {"rate", rate_}};
  if (voice_) request["voice_id"] = *voice_;
  playback_.speak();
  pending_.forget_speech();
  pending_.forget(Purpose::kPause);
  send(request, Purpose::kSpeakWhere, "speak");
  word_.reset();
  where_return_ = back;
}

void Session::Reading::back_from_where() {
  std::size_t back = *where_return_;
  where_return_.reset();
  speak_from(back);
}

bool Session::Reading::sleep_due(std::size_t ended) {
  if (!sleep_at_ || Clock::now() < *sleep_at_ || !playback_.is(Phase::kSpeaking)) return false;
  if (mode_ == Mode::kDocument && ended + 1 >= document_.size()) return false;  // the end anyway
  // Remembered as the place to continue: the utterance after the one just heard.
  if (mode_ == Mode::kDocument) {
    current_ = ended + 1;
  } else {
    mode_ = Mode::kDocument;
    current_ = document_position_;
  }
  word_.reset();
  quit(0);
  return true;
}

void Session::Reading::quit(int code) {
  if (!playback_.stop(code, Clock::now() + kStopAnswerBound)) return;
  send({{"type", "stop"}}, Purpose::kStop, "stop");
}

void Session::Reading::finish() {
  if (mode_ == Mode::kSummary && !options_.summary) {
    // The summary was asked for with `s`: go back to the document.
    toggle_summary();
    return;
  }
  if (playback_.finish()) exit_code_ = 0;
}

// ---- The loop ----

void Session::Reading::read_inputs(const pollfd* fds, bool& dirty) {
  if (fds[2].revents & POLLIN) {
    unsigned char numbers[16];
    ssize_t n = ::read(io_.signal_fd, numbers, sizeof numbers);
    for (ssize_t i = 0; i < n; ++i) handle_signal(numbers[i]);
    dirty = true;
  }
  if (fds[3].revents & POLLIN) {
    unsigned char keys[64];
    ssize_t n = ::read(io_.key_fd, keys, sizeof keys);
    for (ssize_t i = 0; i < n; ++i) {
      if (keys[i] == 0x1b) break;  // arrows and other sequences: not ours
      handle_key(keys[i]);
    }
    dirty = true;
  }
  for (auto& line : service_.read_lines()) {
    if (failure_) break;  // the first failure is the one to tell
    handle_line(line);
    dirty = true;
  }
  service_.read_stderr();
}

void Session::Reading::check_deadlines(bool& dirty) {
  auto now = Clock::now();
  if (auto* pausing = playback_.as<Playback::Pausing>(); pausing && now >= pausing->answer_by) {
    // No answer: this service has no pause.
    bool then_resume = pausing->then_resume;
    pending_.forget(Purpose::kPause);
    pause_supported_ = false;
    playback_.pause_failed();
    pause_by_stopping(then_resume);
    dirty = true;
  }
  if (auto* stopping = playback_.as<Playback::Stopping>()) {
    if (now >= stopping->answer_by || service_.eof()) exit_code_ = stopping->code;
  } else {
    auto asked = pending_.oldest_speech();
    if (asked && now - *asked >= kSpeakAnswerBound) {
      fail("the speech service did not answer within 30 s");
    }
    if (service_.eof() && !exit_code_) fail(died(service_));
  }
}

int Session::Reading::run(const ByteRange& range) {
  range_ = range;
  mode_ = options_.summary ? Mode::kSummary : Mode::kDocument;
  if (options_.sleep_seconds) {
    sleep_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*options_.sleep_seconds));
  }
  send({{"type", "init"}, {"id", "init"}}, Purpose::kInit, "");
  send_setup();
  start(options_.natural_reading);
  draw();
  auto last_draw = Clock::now();
  while (!exit_code_ && !failure_) {
    pollfd fds[4] = {{service_.stdout_fd(), POLLIN, 0},
                     {service_.stderr_fd(), POLLIN, 0},
                     {io_.signal_fd, POLLIN, 0},
                     {io_.key_fd, POLLIN, 0}};
    auto timeout = kTick;
    if (auto* pausing = playback_.as<Playback::Pausing>()) {
      timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      pausing->answer_by - Clock::now()));
    }
    poll(fds, 4, static_cast<int>(std::max<long>(timeout.count(), 0)));
    bool dirty = false;
    read_inputs(fds, dirty);
    check_deadlines(dirty);
    if (!exit_code_ && !failure_ && (dirty || Clock::now() - last_draw >= kTick)) {
      draw();
      last_draw = Clock::now();
    }
  }
  return conclude();
}

int Session::Reading::conclude() {
  if (io_.terminal != nullptr) io_.terminal->restore();
  for (const auto& text : warnings_) std::fprintf(io_.err, "mdspeak: %s\n", text.c_str());
  if (failure_) {
    // Said at once: the service may take a moment to stop what it started.
    std::fprintf(io_.err, "mdspeak: %s\n", failure_->text.c_str());
    std::fflush(io_.err);
    // A failure can come while speech runs: the service would finish it before exiting.
    if (!service_.eof()) service_.send(dump(Json{{"type", "stop"}, {"id", "stop"}}));
  }
  int status = service_.finish(kServiceExitBound);
  save_position();
  if (failure_) return failure_->status;
  if (*exit_code_ == 0 && status != 0 && playback_.is(Phase::kDone)) {
    std::fprintf(io_.err, "mdspeak: the speech service exited with status %d\n", status);
    return 1;
  }
  if (nothing_spoken_ && playback_.is(Phase::kDone)) {
    // Not an error, but a silent exit would leave the person wondering.
    std::fprintf(io_.err, "mdspeak: nothing to read: %s has no text to speak\n",
                 range_.start > 0 || range_.end ? "the chosen part" : title_.c_str());
  }
  return *exit_code_;
}

// ---- Display ----

void Session::Reading::warn(const std::string& text) {
  if (io_.draws) {
    note(text);
    warnings_.push_back(text);
  } else {
    std::fprintf(io_.err, "mdspeak: %s\n", text.c_str());
  }
}

std::string Session::Reading::status_word() const {
  switch (playback_.phase()) {
    case Phase::kStarting:
      return "starting";
    case Phase::kSpeaking:
      return where_return_ ? "where" : mode_ == Mode::kSummary ? "summary" : "reading";
    case Phase::kPausing:
      return "pausing";
    case Phase::kPaused:
      return "paused";
    case Phase::kStopping:
      return "stopping";
    case Phase::kDone:
      return "finished";
  }
  return "";
}

std::string Session::Reading::voice_label() const {
  if (speaker_.speaking_language) {
    // What is heard now: the passage's language and the voice the service says speaks it.
    const std::string voice =
        speaker_.speaking_voice && voice_ == speaker_.speaking_voice && !speaker_.voice_name.empty()
            ? speaker_.voice_name
            : speaker_.speaking_voice.value_or("");
    std::string label = *speaker_.speaking_language;
    if (!voice.empty()) label += (label.empty() ? "voice " : ", voice ") + voice;
    return label;
  }
  std::string label = speaker_.language;
  if (!speaker_.voice_name.empty()) {
    label += (label.empty() ? "" : ", voice ") + speaker_.voice_name;
  }
  return label;
}

void Session::Reading::draw() {
  if (!io_.draws) return;
  const auto& utterances = list();
  Frame frame;
  frame.width = io_.terminal->width();
  frame.height = io_.terminal->height();
  frame.color = std::getenv("NO_COLOR") == nullptr || *std::getenv("NO_COLOR") == '\0';
  frame.title = title_;
  frame.rate = rate_;
  frame.voice = voice_label();
  frame.playing = playback_.is(Phase::kSpeaking);
  frame.status = status_word();
  if (current_ < utterances.size()) {
    const auto& u = utterances[current_];
    frame.kind = mode_ == Mode::kSummary ? "summary" : u.kind;
    frame.position = format_position(u.from);
    frame.text = u.text;
    if (mode_ == Mode::kDocument && u.heading && *u.heading != current_) {
      frame.heading = document_[*u.heading].text;
    }
    if (word_ && word_->end <= u.text.size()) {
      frame.word = word_;
      if (mode_ == Mode::kDocument) frame.position = format_position(lines_.position(word_offset_));
    }
  }
  frame.index = current_;
  frame.count = utterances.size();
  frame.elapsed = playback_.elapsed(Clock::now());
  frame.remaining = remaining();
  if (sleep_at_) {
    frame.sleep_left =
        std::max(0.0, std::chrono::duration<double>(*sleep_at_ - Clock::now()).count());
  }
  if (Clock::now() < message_until_) frame.message = message_;
  frame.help = help_;
  io_.terminal->write(render(frame));
}

std::optional<double> Session::Reading::remaining() {
  const auto& utterances = list();
  if (utterances.empty()) return std::nullopt;
  std::size_t chars = 0;
  for (std::size_t i = current_; i < utterances.size(); ++i) chars += utterances[i].text.size();
  if (word_ && current_ < utterances.size()) chars -= std::min(word_->begin, chars);
  double speed = speaking_speed(estimate_.measured_chars, estimate_.measured_seconds);
  double target = static_cast<double>(chars) / (speed * rate_);
  auto now = Clock::now();
  // Only time spent speaking counts the estimate down.
  double dt = playback_.is(Phase::kSpeaking) && !where_return_
                  ? std::chrono::duration<double>(now - estimate_.at).count()
                  : 0.0;
  estimate_.shown = smooth_estimate(estimate_.shown, target, dt);
  estimate_.at = now;
  return estimate_.shown;
}

void Session::Reading::save_position() const {
  if (!memory_ || options_.summary) return;
  auto entries = load_positions(memory_->store);
  if (!entries) entries = std::vector<SavedPosition>{};  // damaged: said at the start; replaced
  std::vector<SavedPosition> updated;
  if (playback_.is(Phase::kDone) && mode_ == Mode::kDocument) {
    // Read to the end: next time begins at the top again.
    if (find_saved(*entries, memory_->path) == nullptr) return;
    updated = forget(std::move(*entries), memory_->path);
  } else {
    std::size_t index = mode_ == Mode::kSummary ? document_position_ : current_;
    if (!started_ || index >= document_.size()) return;
    const PlacedUtterance& u = document_[index];
    SavedPosition entry{memory_->path, memory_->digest, u.start, u.from, "", 0};
    if (u.heading) {
      entry.heading = document_[*u.heading].text;
      entry.heading_offset = document_[*u.heading].start;
    }
    updated = remember(std::move(*entries), std::move(entry));
  }
  auto stored = store_positions(memory_->store, updated);
  if (!stored && !memory_->warned) {
    std::fprintf(io_.err, "mdspeak: cannot remember the position: %s\n",
                 stored.error().describe().c_str());
  }
}

// ---- Session ----

Session::Session(const Options& options, std::string source, ServiceConnection service,
                 SessionIo io)
    : reading_(std::make_unique<Reading>(options, std::move(source), std::move(service), io)) {}

Session::~Session() = default;

void Session::remember_in(std::optional<Memory> memory, ResumeAt resume) {
  reading_->remember_in(std::move(memory), std::move(resume));
}

int Session::run(const ByteRange& range) {
  return reading_->run(range);
}

}  // namespace mdspeak::client
