#include "session.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "display.h"
#include "export_client.h"
#include "input.h"
#include "positions.h"
#include "service.h"
#include "terminal.h"
#include "utterances.h"
#include "voices.h"

namespace mdspeak::reader {

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr auto kPauseAnswerBound = 400ms;  // a service without pause never answers
constexpr auto kStopAnswerBound = 2s;
constexpr auto kServiceExitBound = 2s;
constexpr auto kTick = 250ms;
// A service that stops answering is an error, never a hang (loading the largest document we
// accept takes a few seconds).
constexpr auto kSpeakAnswerBound = 30s;
constexpr const char* kDocumentId = "doc";
// From this size on a document's head is spoken while the rest loads (a 256 KB load takes the
// service some 10 ms on a quiet machine, a 10 MB one 0.1-0.3 s); the head is minutes of speech.
constexpr std::size_t kHeadFrom = 256 * 1024;
constexpr std::size_t kHeadBytes = 8 * 1024;
constexpr const char* kWhereId = "where";  // the words of `w`, a document of their own
// What `t` cycles through, in minutes (0: off).
constexpr std::array<int, 4> kSleepChoices = {0, 15, 30, 60};

int fatal(const std::string& message) {
  std::fprintf(stderr, "mdspeak: %s\n", message.c_str());
  return 1;
}

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The print modes and the voice list never speak: they must not start a speech daemon either.
std::map<std::string, std::string> silent_environment() {
  return {{"SPEECHD_ADDRESS", "unix_socket:/nonexistent/mdspeak-print/speechd.sock"}};
}

std::string language_name(const std::string& locale) {
  std::string language = locale.substr(0, locale.find_first_of("-_"));
  if (language == "en") return "English";
  if (language == "es") return "Spanish";
  return language;
}

// The load request; with the natural reading asked for, a service that refuses it (an older one
// answers unsupported_reading) is sent the plain one after.
Json load_request(const std::string& source, bool natural) {
  Json load = {
      {"type", "load_document"}, {"id", "load"}, {"document_id", kDocumentId}, {"text", source}};
  if (natural) load["reading"] = "natural";
  return load;
}

bool refuses_reading(const Json& answer) {
  return answer.value("type", "") == "error_result" &&
         answer.value("code", "") == "unsupported_reading";
}

// Waits for answers whose "id" is `id`, passing events to `on_other`; nothing on death or timeout.
std::optional<Json> await_answer(ServiceProcess& service, const std::string& id,
                                 std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (auto& line : service.read_lines()) {
      Json message = Json::parse(line, nullptr, false);
      if (message.is_object() && message.value("id", "") == id) return message;
    }
    service.read_stderr();
    if (service.eof()) return std::nullopt;
    pollfd fd{service.stdout_fd(), POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    poll(&fd, 1, static_cast<int>(std::max<long>(left.count(), 1)));
  }
  return std::nullopt;
}

std::string died(ServiceProcess& service) {
  service.read_stderr();
  std::string text = "the speech service stopped unexpectedly";
  if (!service.last_error_line().empty()) text += " (" + service.last_error_line() + ")";
  return text;
}

// Where the reading of one file is remembered when it stops.
struct Memory {
  std::filesystem::path store;  // the positions file
  std::string path;             // the document, absolute
  std::string digest;
  bool warned = false;  // the positions file was already said to be unusable
};

// Where to begin instead of the chosen range's start: a remembered offset in an unchanged file,
// or in an edited one the remembered heading, once the utterances are known.
struct ResumeAt {
  std::optional<std::uint64_t> offset;
  std::optional<SavedPosition> by_heading;
};

// "Continue at 12:3 'Install'? [Y/n]" on the terminal; Enter is yes, end of input no.
bool ask_to_continue(const SavedPosition& saved, bool changed) {
  std::string heading = saved.heading.empty() ? "" : "'" + one_line(saved.heading) + "'";
  std::string where = changed ? heading + " (the file has changed)"
                              : format_position(saved.at) + (heading.empty() ? "" : " " + heading);
  std::printf("Continue at %s? [Y/n] ", where.c_str());
  std::fflush(stdout);
  char answer[64];
  if (std::fgets(answer, sizeof answer, stdin) == nullptr) {
    std::printf("\n");
    return false;
  }
  std::string_view text(answer);
  auto first = text.find_first_not_of(" \t\r\n");
  return first == std::string_view::npos || text[first] == 'y' || text[first] == 'Y';
}

// Decides where a speaking run begins: the file's remembered place when it is wanted (asked on a
// terminal, or --resume), else the chosen range. A damaged or unreadable positions file costs a
// warning, never the reading.
std::optional<Memory> recall(const Options& options, const std::string& source, bool interactive,
                             ResumeAt& resume) {
  if (options.summary || options.file == "-") return std::nullopt;
  auto store = positions_path();
  if (!store) return std::nullopt;
  std::error_code error;
  auto absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(options.file), error);
  if (error) return std::nullopt;
  Memory memory{*store, absolute.string(), content_digest(source)};
  bool wanted = options.resume == Options::Resume::kYes ||
                (options.resume == Options::Resume::kAsk && interactive &&
                 options.range.kind == RangeChoice::Kind::kAll);
  if (!wanted) return memory;
  auto entries = load_positions(*store);
  if (!entries) {
    std::fprintf(stderr,
                 "mdspeak: cannot use the remembered positions (%s); reading from the top\n",
                 entries.error().describe().c_str());
    memory.warned = true;
    return memory;
  }
  const SavedPosition* saved = find_saved(*entries, memory.path);
  if (saved == nullptr) return memory;
  bool changed = saved->digest != memory.digest;
  if (changed && saved->heading.empty()) return memory;  // nothing to find it by
  if (options.resume == Options::Resume::kAsk && !ask_to_continue(*saved, changed)) return memory;
  if (changed) {
    resume.by_heading = *saved;
  } else {
    resume.offset = saved->offset;
  }
  return memory;
}

class Reader {
 public:
  // `terminal`: where keys come from (none: no keys); `draws`: the display goes there too.
  Reader(const Options& options, std::string source, ServiceProcess service, Terminal* terminal,
         bool draws)
      : options_(options),
        source_(std::move(source)),
        lines_(source_),
        service_(std::move(service)),
        terminal_(terminal),
        draws_(draws) {
    rate_ = options.rate;
    voice_ = options.voice;
    title_ = options.file == "-" ? "standard input"
                                 : std::filesystem::path(options.file).filename().string();
  }

  int run(const ByteRange& range, int signal_fd);
  void remember_in(std::optional<Memory> memory, ResumeAt resume) {
    memory_ = std::move(memory);
    resume_ = std::move(resume);
  }

 private:
  enum class State { kStarting, kSpeaking, kPausing, kPaused, kStopping, kDone };
  enum class Mode { kDocument, kSummary };

  std::string next_id(const std::string& what) { return what + "-" + std::to_string(++counter_); }
  void send(const Json& request) {
    if (!service_.send(dump(request))) failure_ = died(service_);
  }
  std::vector<Utterance>& list() { return mode_ == Mode::kDocument ? document_ : summary_; }

  // Loads the document, prepares it and speaks the chosen range.
  void start(bool natural);
  // `from` (a source offset) replaces the start of utterance `index`, which may not be known yet.
  void speak_from(std::size_t index, std::optional<std::uint64_t> from = std::nullopt);
  // The head's speech is over: the rest of the document goes on from `offset`.
  void continue_after_head(std::uint64_t offset);
  void handle_line(const std::string& line);
  void handle_key(unsigned char key);
  void handle_signal(int number);
  void pause();
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
  // One line for standard error: at once, or after the display when there is one (and on it
  // meanwhile).
  void warn(const std::string& text) {
    if (draws_) {
      note(text);
      warnings_.push_back(text);
    } else {
      std::fprintf(stderr, "mdspeak: %s\n", text.c_str());
    }
  }
  void note(std::string text) {
    message_ = std::move(text);
    message_until_ = Clock::now() + 3s;
  }
  void account_time();
  void draw();
  std::optional<double> remaining();
  void save_position() const;

  const Options& options_;
  std::string source_;
  LineIndex lines_;
  ServiceProcess service_;
  Terminal* terminal_;
  bool draws_;
  std::string title_;
  ByteRange range_;

  std::vector<Utterance> document_;
  std::vector<Utterance> summary_;
  // A long document's head, loaded and spoken first under the same id so that its first words
  // do not wait for the whole load: where it ends, and how many utterances its speech queued.
  struct Head {
    std::uint64_t end = 0;
    std::string speak_id;
    std::optional<std::uint64_t> queued;
  };
  std::optional<Head> head_;
  bool summary_ready_ = false;
  Mode mode_ = Mode::kDocument;
  std::size_t document_position_ = 0;  // where the document continues after the summary

  State state_ = State::kStarting;
  std::size_t current_ = 0;
  std::size_t base_ = 0;
  std::optional<Span> word_;
  std::uint64_t word_offset_ = 0;  // in the source, for the position shown
  bool started_ = false;           // some utterance has begun
  bool nothing_spoken_ = false;    // the first speech had nothing to say
  bool reloading_ = false;         // the natural reading was refused: loaded again the plain way
  std::optional<std::string> awaiting_speak_;  // events before its answer belong to older speech
  Clock::time_point speak_deadline_;
  std::optional<std::string> awaiting_pause_;
  Clock::time_point pause_deadline_;
  std::optional<bool> pause_supported_;
  bool paused_exact_ = false;
  bool resume_after_pause_ = false;  // the pause was for a rate change
  std::optional<std::string> awaiting_stop_;
  Clock::time_point stop_deadline_;
  int quit_code_ = 0;
  double rate_ = 1.0;
  int counter_ = 0;

  double elapsed_ = 0;
  std::optional<Clock::time_point> speaking_since_;
  std::size_t measured_chars_ = 0;  // of utterances heard from begin to end
  double measured_seconds_ = 0;     // their time, scaled to rate 1.0
  std::optional<double> estimate_;  // the time left shown; none after a jump
  Clock::time_point estimated_at_;
  Clock::time_point utterance_began_;

  std::string message_;
  Clock::time_point message_until_;
  bool help_ = false;
  std::optional<std::string> failure_;
  int failure_status_ = 1;
  std::optional<int> exit_code_;

  std::optional<Memory> memory_;
  ResumeAt resume_;

  std::string language_;               // of the document, as the service detected it
  std::string voice_name_;             // of the --voice asked for
  std::optional<std::string> voice_;   // the id sent: --voice, or the voice it was found to name
  std::vector<std::string> warnings_;  // for standard error once the screen is given back
  std::optional<std::size_t> where_return_;  // the words of `w` are being spoken
  std::optional<Clock::time_point> sleep_at_;
  std::size_t sleep_choice_ = 0;  // of kSleepChoices
};

void Reader::where_am_i() {
  if (mode_ != Mode::kDocument || current_ >= document_.size()) {
    note(mode_ == Mode::kSummary ? "w tells the place in the document; s goes back to it"
                                 : "not reading yet");
    return;
  }
  if (state_ != State::kSpeaking && state_ != State::kPaused) return;
  // The service speaks loaded documents only: the words are loaded under an id of their own.
  std::size_t back = where_return_.value_or(current_);
  send({{"type", "load_document"},
        {"id", next_id("load")},
        {"document_id", kWhereId},
        {"text", where_words(document_, back, source_)}});
  auto id = next_id("speak");
  Json request = {{"type", "speak"}, {"id", id}, {"document_id", kWhereId}, {"rate", rate_}};
  if (voice_) request["voice_id"] = *voice_;
  send(request);
  awaiting_speak_ = id;
  speak_deadline_ = Clock::now() + kSpeakAnswerBound;
  awaiting_pause_.reset();
  paused_exact_ = false;
  word_.reset();
  where_return_ = back;
  state_ = State::kSpeaking;
  account_time();
}

void Reader::back_from_where() {
  std::size_t back = *where_return_;
  where_return_.reset();
  speak_from(back);
}

void Reader::cycle_sleep() {
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

bool Reader::sleep_due(std::size_t ended) {
  if (!sleep_at_ || Clock::now() < *sleep_at_ || state_ != State::kSpeaking) return false;
  if (mode_ == Mode::kDocument && ended + 1 >= document_.size()) return false;  // the end anyway
  // Remembered as the place to continue: the utterance after the one just heard.
  if (mode_ == Mode::kDocument) {
    current_ = ended + 1;
  } else if (mode_ == Mode::kSummary) {
    mode_ = Mode::kDocument;
    current_ = document_position_;
  }
  word_.reset();
  quit(0);
  return true;
}

void Reader::save_position() const {
  if (!memory_ || options_.summary) return;
  auto entries = load_positions(memory_->store);
  if (!entries) entries = std::vector<SavedPosition>{};  // damaged: said at the start; replaced
  std::vector<SavedPosition> updated;
  if (state_ == State::kDone && mode_ == Mode::kDocument) {
    // Read to the end: next time begins at the top again.
    if (find_saved(*entries, memory_->path) == nullptr) return;
    updated = forget(std::move(*entries), memory_->path);
  } else {
    std::size_t index = mode_ == Mode::kSummary ? document_position_ : current_;
    if (!started_ || index >= document_.size()) return;
    const Utterance& u = document_[index];
    SavedPosition entry{memory_->path, memory_->digest, u.start, u.from, "", 0};
    if (u.heading) {
      entry.heading = document_[*u.heading].text;
      entry.heading_offset = document_[*u.heading].start;
    }
    updated = remember(std::move(*entries), std::move(entry));
  }
  auto stored = store_positions(memory_->store, updated);
  if (!stored && !memory_->warned) {
    std::fprintf(stderr, "mdspeak: cannot remember the position: %s\n",
                 stored.error().describe().c_str());
  }
}

void Reader::account_time() {
  auto now = Clock::now();
  if (speaking_since_) elapsed_ += std::chrono::duration<double>(now - *speaking_since_).count();
  speaking_since_ = state_ == State::kSpeaking ? std::optional(now) : std::nullopt;
}

void Reader::speak_from(std::size_t index, std::optional<std::uint64_t> from) {
  where_return_.reset();
  estimate_.reset();  // a jump, a new rate or the other list: the new figure holds at once
  auto id = next_id("speak");
  Json request;
  if (mode_ == Mode::kSummary) {
    // The summary is spoken whole: speak_summary takes no range.
    index = 0;
    request = {{"type", "speak_summary"}, {"id", id}, {"document_id", kDocumentId}};
  } else {
    request = {{"type", "speak"}, {"id", id}, {"document_id", kDocumentId}};
    std::uint64_t start =
        index < document_.size() ? document_[index].start : resume_.offset.value_or(range_.start);
    if (from) start = *from;
    request["start_offset"] = start;
    if (range_.end) request["end_offset"] = *range_.end;
    if (head_ && head_->speak_id.empty()) {
      request["end_offset"] = head_->end;
      head_->speak_id = id;
    } else {
      head_.reset();  // any later speech is of the whole document
    }
    // The request's utterance 0 is the first one whose range ends after the start.
    if (index < document_.size()) index = first_selected(document_, start);
  }
  request["rate"] = rate_;
  if (voice_) request["voice_id"] = *voice_;
  request["word_events"] = true;
  send(request);
  awaiting_speak_ = id;
  speak_deadline_ = Clock::now() + kSpeakAnswerBound;
  awaiting_pause_.reset();
  paused_exact_ = false;
  base_ = index;
  current_ = index;
  word_.reset();
  state_ = State::kSpeaking;
  account_time();
}

void Reader::continue_after_head(std::uint64_t offset) {
  head_.reset();
  std::size_t next = 0;
  while (next < document_.size() && document_[next].start < offset) ++next;
  speak_from(next, offset);
}

void Reader::pause() {
  if (state_ != State::kSpeaking) return;
  if (pause_supported_.value_or(true)) {
    auto id = next_id("pause");
    send({{"type", "pause"}, {"id", id}});
    awaiting_pause_ = id;
    pause_deadline_ = Clock::now() + kPauseAnswerBound;
    state_ = State::kPausing;
  } else {
    // Without the service's pause, stop now and start the utterance again on resume.
    send({{"type", "stop"}, {"id", next_id("stop")}});
    awaiting_speak_ = "(stopped)";
    paused_exact_ = false;
    state_ = resume_after_pause_ ? State::kSpeaking : State::kPaused;
    if (resume_after_pause_) {
      resume_after_pause_ = false;
      speak_from(current_);
      return;
    }
  }
  account_time();
}

void Reader::suspend() {
  // The service runs in a process group of its own and would go on speaking: pause it first.
  // Before the speech has begun there is nothing to pause yet, and the key is let go.
  if (state_ == State::kStarting) return;
  resume_after_pause_ = false;
  pause();
  terminal_->suspend();
}

void Reader::resume() {
  if (state_ != State::kPaused) return;
  if (paused_exact_) {
    Json request = {{"type", "resume"}, {"id", next_id("resume")}, {"rate", rate_}};
    if (voice_) request["voice_id"] = *voice_;
    send(request);
    paused_exact_ = false;
    state_ = State::kSpeaking;
    account_time();
  } else {
    speak_from(current_);
  }
}

void Reader::change_rate(double delta) {
  double rate = std::clamp(std::round((rate_ + delta) * 10) / 10, 0.5, 2.0);
  if (rate == rate_) {
    note(delta > 0 ? "fastest rate already" : "slowest rate already");
    return;
  }
  rate_ = rate;
  estimate_.reset();
  char text[48];
  std::snprintf(text, sizeof text, "rate %.1f×", rate_);
  note(text);
  // From the current word: pause, then resume at the new rate.
  if (state_ == State::kSpeaking) {
    resume_after_pause_ = true;
    pause();
  }
}

void Reader::jump_to(std::optional<std::size_t> index, const char* none) {
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

void Reader::toggle_summary() {
  if (!summary_ready_) {
    note("the summary is not ready yet");
    return;
  }
  if (mode_ == Mode::kDocument) {
    if (summary_.empty()) {
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

void Reader::quit(int code) {
  if (state_ == State::kStopping) return;
  quit_code_ = code;
  auto id = next_id("stop");
  send({{"type", "stop"}, {"id", id}});
  awaiting_stop_ = id;
  stop_deadline_ = Clock::now() + kStopAnswerBound;
  state_ = State::kStopping;
  account_time();
}

void Reader::finish() {
  if (mode_ == Mode::kSummary && !options_.summary) {
    // The summary was asked for with `s`: go back to the document.
    toggle_summary();
    return;
  }
  state_ = State::kDone;
  account_time();
  exit_code_ = 0;
}

void Reader::handle_key(unsigned char key) {
  if (state_ == State::kStopping || state_ == State::kDone) return;
  switch (key) {
    case ' ':
      if (state_ == State::kPaused) {
        resume();
      } else if (state_ == State::kPausing) {
        // Pressed again before the pause was answered: resume as soon as it is.
        resume_after_pause_ = !resume_after_pause_;
      } else {
        resume_after_pause_ = false;
        pause();
      }
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

void Reader::handle_signal(int number) {
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

void Reader::handle_line(const std::string& line) {
  if (options_.json) {
    std::printf("%s\n", line.c_str());
    if (std::fflush(stdout) != 0) quit(1);
  }
  Json message = Json::parse(line, nullptr, false);
  if (!message.is_object() || !message.contains("type") || !message["type"].is_string()) return;
  auto type = message["type"].get<std::string>();
  auto id = message.value("id", std::string());

  if (type == "init_result") {
    if (!message.value("available", false)) {
      auto why = message["message"].is_string() ? message["message"].get<std::string>()
                                                : std::string("no reason given");
      failure_ = "no speech synthesizer is available: " + why;
    }
  } else if (type == "error_result") {
    if (state_ == State::kStopping) return;
    if ((id == "load" || id == "load-head") && refuses_reading(message) && !reloading_) {
      // Read it the plain way; what was sent after the refused load fails as not loaded.
      reloading_ = true;
      head_.reset();
      start(false);
      return;
    }
    if (reloading_) return;
    if (awaiting_pause_ && id == *awaiting_pause_) {
      // The pause failed: fall back on stopping and restarting the utterance.
      awaiting_pause_.reset();
      pause_supported_ = false;
      state_ = State::kSpeaking;
      pause();
      return;
    }
    if (id == "voices") return;  // the voice cannot be checked; the service still speaks
    if (id.starts_with("resume-")) {
      speak_from(current_);
      return;
    }
    failure_ = message.value("message", std::string("the service reported an error"));
  } else if (type == "load_document_result") {
    if (reloading_) reloading_ = false;
  } else if (type == "prepare_speech_result") {
    auto list = utterances_from_json(message["utterances"], lines_);
    if (!list) {
      failure_ = list.error().message;
    } else {
      document_ = std::move(*list);
      if (message.contains("language_code") && message["language_code"].is_string()) {
        language_ = language_name(message["language_code"].get<std::string>());
      }
      if (resume_.offset && mode_ == Mode::kDocument) {
        // The first speech began at the remembered offset before the list was known: its
        // utterance 0 is the one selected there.
        base_ = current_ = first_selected(document_, *resume_.offset);
        resume_.offset.reset();
      }
      if (resume_.by_heading && mode_ == Mode::kDocument) {
        // The edited file's utterances are known now: begin at the remembered heading.
        auto found = find_heading_again(document_, *resume_.by_heading);
        resume_.by_heading.reset();
        speak_from(found.value_or(0));
      }
    }
  } else if (type == "list_voices_result" && id == "voices") {
    // The service falls back on another voice for an unknown id: a typo would go unnoticed.
    auto chosen = choose_voice(message.value("voices", Json::array()), *options_.voice);
    if (!chosen) {
      failure_ = "no voice '" + *options_.voice + "'; mdspeak --list-voices lists them";
      failure_status_ = 2;
      return;
    }
    voice_name_ = chosen->name.empty() ? chosen->id : chosen->name;
    if (!chosen->exact) {
      voice_ = chosen->id;
      warn("voice '" + *options_.voice + "': using " + voice_name_ +
           (chosen->id == voice_name_ ? "" : " (" + chosen->id + ")"));
      // The speech went out with the words as typed, which the service does not know as an id.
      if (state_ == State::kSpeaking && !awaiting_pause_) speak_from(current_);
    }
  } else if (type == "prepare_summary_result") {
    auto list = utterances_from_json(message["utterances"], lines_);
    if (list) summary_ = std::move(*list);
    summary_ready_ = true;
  } else if (type == "speak_result") {
    if (head_ && id == head_->speak_id) {
      head_->queued = message.value("queued", std::uint64_t{0});
      if (*head_->queued == 0 && awaiting_speak_ && id == *awaiting_speak_) {
        awaiting_speak_.reset();
        continue_after_head(head_->end);
        return;
      }
    }
    if (awaiting_speak_ && id == *awaiting_speak_) {
      awaiting_speak_.reset();
      if (message.value("queued", 0) == 0 && where_return_) {
        back_from_where();
      } else if (message.value("queued", 0) == 0 && state_ == State::kSpeaking) {
        nothing_spoken_ = !started_;
        finish();
      }
    }
  } else if (type == "pause_result") {
    if (!awaiting_pause_ || id != *awaiting_pause_) return;
    awaiting_pause_.reset();
    pause_supported_ = true;
    paused_exact_ = message.value("paused", false);
    state_ = State::kPaused;
    if (resume_after_pause_) {
      resume_after_pause_ = false;
      resume();
    }
  } else if (type == "stop_result") {
    if (awaiting_stop_ && id == *awaiting_stop_) exit_code_ = quit_code_;
  } else if (type == "utterance_begin" || type == "utterance_word" || type == "utterance_end" ||
             type == "utterance_failed") {
    if (awaiting_speak_ || state_ == State::kStopping || state_ == State::kDone) return;
    if (where_return_ && message.value("document_id", "") == kWhereId) {
      // Heard (or given up on): back to the reading, at the utterance it had reached.
      if (type == "utterance_end" || type == "utterance_failed") back_from_where();
      return;
    }
    if (message.value("document_id", "") != kDocumentId) return;
    auto& utterances = list();
    std::size_t index =
        locate(utterances, base_, message.value("utterance_index", 0ull),
               message.value("start_offset", 0ull), message.value("end_offset", 0ull));
    if (type == "utterance_begin") {
      current_ = index;
      word_.reset();
      started_ = true;
      utterance_began_ = Clock::now();
      if (!draws_ && !options_.json && index < utterances.size()) {
        std::printf("%s\n", plain_line(utterances[index]).c_str());
        if (std::fflush(stdout) != 0) quit(1);  // nobody reads any more: stop speaking too
      }
    } else if (type == "utterance_word") {
      current_ = index;
      word_ = Span{message.value("text_start", std::size_t{0}),
                   message.value("text_end", std::size_t{0})};
      word_offset_ = message.value("start_offset", 0ull);
    } else if (type == "utterance_failed") {
      // The service gave up on the speech from here (a synthesizer that stopped working): say
      // where and why, and stop rather than wait for an end that will not come.
      const std::string where =
          index < utterances.size() ? " at " + format_position(utterances[index].from) : "";
      auto reason = message.value("reason", std::string("the synthesizer failed"));
      // Nothing was ever heard: the place does not matter, the audio does.
      failure_ =
          reason.starts_with("no audio output") ? reason : "speech stopped" + where + ": " + reason;
    } else {
      if (index < utterances.size() && state_ == State::kSpeaking && current_ == index) {
        measured_chars_ += utterances[index].text.size();
        measured_seconds_ +=
            std::chrono::duration<double>(Clock::now() - utterance_began_).count() * rate_;
      }
      word_.reset();
      if (head_) {
        if (head_->queued && message.value("utterance_index", 0ull) + 1 >= *head_->queued &&
            state_ == State::kSpeaking) {
          continue_after_head(message.value("end_offset", head_->end));
        }
      } else {
        if (sleep_due(index)) return;
        if (index + 1 >= utterances.size() && state_ == State::kSpeaking) finish();
      }
    }
  }
}

std::optional<double> Reader::remaining() {
  const auto& utterances = mode_ == Mode::kDocument ? document_ : summary_;
  if (utterances.empty()) return std::nullopt;
  std::size_t chars = 0;
  for (std::size_t i = current_; i < utterances.size(); ++i) chars += utterances[i].text.size();
  if (word_ && current_ < utterances.size()) chars -= std::min(word_->begin, chars);
  double target =
      static_cast<double>(chars) / (speaking_speed(measured_chars_, measured_seconds_) * rate_);
  auto now = Clock::now();
  // Only time spent speaking counts the estimate down.
  double dt = state_ == State::kSpeaking && !where_return_
                  ? std::chrono::duration<double>(now - estimated_at_).count()
                  : 0.0;
  estimate_ = smooth_estimate(estimate_, target, dt);
  estimated_at_ = now;
  return estimate_;
}

void Reader::draw() {
  if (!draws_) return;
  const auto& utterances = mode_ == Mode::kDocument ? document_ : summary_;
  Frame frame;
  frame.width = terminal_->width();
  frame.height = terminal_->height();
  frame.color = std::getenv("NO_COLOR") == nullptr || *std::getenv("NO_COLOR") == '\0';
  frame.title = title_;
  frame.rate = rate_;
  frame.voice = language_;
  if (!voice_name_.empty()) frame.voice += (language_.empty() ? "" : ", voice ") + voice_name_;
  frame.playing = state_ == State::kSpeaking;
  switch (state_) {
    case State::kStarting:
      frame.status = "starting";
      break;
    case State::kSpeaking:
      frame.status = where_return_ ? "where" : mode_ == Mode::kSummary ? "summary" : "reading";
      break;
    case State::kPausing:
      frame.status = "pausing";
      break;
    case State::kPaused:
      frame.status = "paused";
      break;
    case State::kStopping:
      frame.status = "stopping";
      break;
    case State::kDone:
      frame.status = "finished";
      break;
  }
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
  double elapsed = elapsed_;
  if (speaking_since_)
    elapsed += std::chrono::duration<double>(Clock::now() - *speaking_since_).count();
  frame.elapsed = elapsed;
  frame.remaining = remaining();
  if (sleep_at_) {
    frame.sleep_left =
        std::max(0.0, std::chrono::duration<double>(*sleep_at_ - Clock::now()).count());
  }
  if (Clock::now() < message_until_) frame.message = message_;
  frame.help = help_;
  terminal_->write(render(frame));
}

void Reader::start(bool natural) {
  // Everything the first word needs goes out at once; the service answers in order.
  Json prepare = {{"type", "prepare_speech"}, {"id", "prepare"}, {"document_id", kDocumentId}};
  prepare["start_offset"] = range_.start;
  if (range_.end) prepare["end_offset"] = *range_.end;
  // A long document takes the service a while to load: its head is loaded and spoken first, and
  // the whole text replaces it under the same id while the first words are heard. Not again when
  // the natural reading was refused and the document is loaded the plain way.
  if (!reloading_ && mode_ == Mode::kDocument && range_.start == 0 && !range_.end &&
      !resume_.offset && !resume_.by_heading && !options_.voice && source_.size() >= kHeadFrom) {
    if (auto cut = head_cut(source_, kHeadBytes)) {
      head_ = Head{*cut, {}, std::nullopt};
      Json head = load_request(source_.substr(0, *cut), natural);
      head["id"] = "load-head";
      send(head);
      // Its list shows and locates the head's utterances until the whole list replaces it.
      send({{"type", "prepare_speech"}, {"id", "prepare-head"}, {"document_id", kDocumentId}});
      speak_from(0);
    }
  }
  send(load_request(source_, natural));
  send(prepare);
  // The summary list must be known before its speech begins; for the document, the summary is
  // only needed for `s`, so it does not delay the first word.
  Json prepare_summary = {
      {"type", "prepare_summary"}, {"id", "summary"}, {"document_id", kDocumentId}};
  if (mode_ == Mode::kSummary) send(prepare_summary);
  // Answered before the speech begins, so a wrong voice is refused before it is heard.
  if (options_.voice && !reloading_) send({{"type", "list_voices"}, {"id", "voices"}});
  // The list is not known yet: this speaks the chosen range, or from the remembered offset; a
  // remembered heading waits for the list.
  if (!head_ && (!resume_.by_heading || mode_ != Mode::kDocument)) speak_from(0);
  if (mode_ == Mode::kDocument) send(prepare_summary);
}

int Reader::run(const ByteRange& range, int signal_fd) {
  range_ = range;
  mode_ = options_.summary ? Mode::kSummary : Mode::kDocument;
  if (options_.sleep_seconds) {
    sleep_at_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(*options_.sleep_seconds));
  }
  send({{"type", "init"}, {"id", "init"}});
  start(options_.natural_reading);
  if (terminal_) draw();

  auto last_draw = Clock::now();
  while (!exit_code_ && !failure_) {
    pollfd fds[4] = {{service_.stdout_fd(), POLLIN, 0},
                     {service_.stderr_fd(), POLLIN, 0},
                     {signal_fd, POLLIN, 0},
                     {terminal_ ? terminal_->fd() : -1, POLLIN, 0}};
    auto timeout = kTick;
    if (state_ == State::kPausing) {
      timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      pause_deadline_ - Clock::now()));
    }
    poll(fds, 4, static_cast<int>(std::max<long>(timeout.count(), 0)));
    bool dirty = false;
    if (fds[2].revents & POLLIN) {
      unsigned char numbers[16];
      ssize_t n = ::read(signal_fd, numbers, sizeof numbers);
      for (ssize_t i = 0; i < n; ++i) handle_signal(numbers[i]);
      dirty = true;
    }
    if (terminal_ && (fds[3].revents & POLLIN)) {
      unsigned char keys[64];
      ssize_t n = ::read(terminal_->fd(), keys, sizeof keys);
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
    if (state_ == State::kPausing && awaiting_pause_ && Clock::now() >= pause_deadline_) {
      // No answer: this service has no pause.
      awaiting_pause_.reset();
      pause_supported_ = false;
      state_ = State::kSpeaking;
      pause();
      dirty = true;
    }
    if (state_ == State::kStopping && Clock::now() >= stop_deadline_) exit_code_ = quit_code_;
    if (awaiting_speak_ && awaiting_speak_->starts_with("speak-") && state_ != State::kStopping &&
        Clock::now() >= speak_deadline_) {
      failure_ = "the speech service did not answer within 30 s";
    }
    if (service_.eof() && !exit_code_) {
      if (state_ == State::kStopping) {
        exit_code_ = quit_code_;
      } else {
        failure_ = died(service_);
      }
    }
    if (terminal_ && !exit_code_ && !failure_ && (dirty || Clock::now() - last_draw >= kTick)) {
      draw();
      last_draw = Clock::now();
    }
  }
  if (terminal_) terminal_->restore();
  for (const auto& text : warnings_) std::fprintf(stderr, "mdspeak: %s\n", text.c_str());
  // A failure can come while speech runs: the service would finish it before exiting.
  if (failure_ && !service_.eof()) service_.send(dump(Json{{"type", "stop"}, {"id", "stop"}}));
  int status = service_.finish(kServiceExitBound);
  save_position();
  if (failure_) {
    fatal(*failure_);
    return failure_status_;
  }
  if (*exit_code_ == 0 && status != 0 && state_ == State::kDone) {
    return fatal("the speech service exited with status " + std::to_string(status));
  }
  if (nothing_spoken_ && state_ == State::kDone) {
    // Not an error, but a silent exit would leave the person wondering.
    std::fprintf(stderr, "mdspeak: nothing to read: %s has no text to speak\n",
                 range_.start > 0 || range_.end ? "the chosen part" : title_.c_str());
  }
  return *exit_code_;
}

// --print, --print-summary: the service's utterances, nothing spoken.
int print_utterances(const Options& options, const std::string& source, const ByteRange& range,
                     ServiceProcess& service) {
  Json prepare = {{"id", "prepare"}, {"document_id", kDocumentId}};
  if (options.print_summary) {
    prepare["type"] = "prepare_summary";
  } else {
    prepare["type"] = "prepare_speech";
    prepare["start_offset"] = range.start;
    if (range.end) prepare["end_offset"] = *range.end;
  }
  if (!service.send(dump(load_request(source, options.natural_reading))) ||
      !service.send(dump(prepare))) {
    return fatal(died(service));
  }
  auto answer = await_answer(service, "prepare", std::chrono::minutes(2));
  if (answer && options.natural_reading && answer->value("type", "") == "error_result") {
    // Only a refused reading fails the load: load the plain way and ask again.
    if (!service.send(dump(load_request(source, false))) || !service.send(dump(prepare))) {
      return fatal(died(service));
    }
    answer = await_answer(service, "prepare", std::chrono::minutes(2));
  }
  if (!answer) return fatal(died(service));
  // A reader that closed the pipe (`| head`) has all it wanted: end quietly, as filters do.
  auto write_failed = [] { return std::ferror(stdout) != 0; };
  int write_error = 0;
  if (options.json) {
    if (std::printf("%s\n", dump(*answer).c_str()) < 0) write_error = errno;
  } else {
    LineIndex lines(source);
    auto list = utterances_from_json((*answer)["utterances"], lines);
    if (!list) return fatal(list.error().message);
    for (std::size_t i = 0; i < list->size() && !write_failed(); ++i) {
      if (std::printf("%s\n", print_line(i, (*list)[i], list->size()).c_str()) < 0) {
        write_error = errno;
      }
    }
  }
  service.finish(kServiceExitBound);
  if (std::fflush(stdout) != 0 && write_error == 0) write_error = errno;
  if (write_error == 0 && !write_failed()) return 0;
  return write_error == EPIPE ? 0 : fatal("cannot write the output");
}

int list_voices(const Options& options, ServiceProcess& service) {
  service.send(dump(Json{{"type", "init"}, {"id", "init"}}));
  service.send(dump(Json{{"type", "list_voices"}, {"id", "voices"}, {"details", true}}));
  auto init = await_answer(service, "init", 10s);
  if (!init) return fatal(died(service));
  if (!init->value("available", false)) {
    auto why = (*init)["message"].is_string() ? (*init)["message"].get<std::string>() : "";
    return fatal("no speech synthesizer is available: " + why);
  }
  auto answer = await_answer(service, "voices", 10s);
  if (!answer) return fatal(died(service));
  if (answer->value("type", "") != "list_voices_result") {
    return fatal(answer->value("message", std::string("cannot list voices")));
  }
  if (options.json) {
    std::printf("%s\n", dump(*answer).c_str());
  } else {
    constexpr std::size_t kColumns = 6;
    std::vector<std::array<std::string, kColumns>> rows = {
        {"ID", "NAME", "LOCALE", "LANGUAGE", "ENGINE", "WORD TIMING"}};
    for (const auto& voice : (*answer)["voices"]) {
      auto text = [&](const char* key) {
        return voice.contains(key) && voice[key].is_string() ? voice[key].get<std::string>()
                                                             : std::string("-");
      };
      std::string engine = text("engine");
      rows.push_back({text("id"), text("name"), text("locale"), language_name(text("locale")),
                      engine.empty() ? "-" : engine, text("word_timing")});
    }
    std::array<std::size_t, kColumns> widths{};
    for (auto& row : rows) {
      for (std::size_t c = 0; c < kColumns; ++c) {
        widths[c] = std::max(widths[c], display_width(row[c]));
      }
    }
    for (auto& row : rows) {
      std::string line;
      for (std::size_t c = 0; c < kColumns; ++c) {
        line += row[c];
        if (c + 1 < kColumns) line += std::string(widths[c] - display_width(row[c]) + 2, ' ');
      }
      std::printf("%s\n", line.c_str());
    }
  }
  service.finish(kServiceExitBound);
  return 0;
}

}  // namespace

int run(const Options& options, const std::string& self_path) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  auto service_path = find_service(error ? self_path : self.string());
  if (!service_path) return fatal(service_path.error().message);
  bool speaks = !options.print && !options.print_summary && !options.list_voices;

  // Started first, so that it starts while the file is read; it reaches the synthesizer only
  // when asked to speak, so a file refused below costs nothing but its start.
  // An export renders without a sound server or speech daemon: none is started for it.
  signal(SIGPIPE, SIG_IGN);  // a service that died is seen in the answers, not as a signal
  auto service =
      ServiceProcess::start(*service_path, !options.output && (speaks || options.list_voices)
                                               ? std::map<std::string, std::string>{}
                                               : silent_environment());
  if (!service) return fatal(service.error().message);

  std::string source;
  ByteRange range;
  if (!options.list_voices) {
    auto text = read_document(options.file, options.encoding);
    if (!text) return fatal(text.error().message);
    source = std::move(*text);
    // Lines are only counted here when the range names them (the reader counts them again).
    auto resolved = options.range.kind == RangeChoice::Kind::kAll
                        ? resolve_range(options.range, LineIndex(""), source.size())
                        : resolve_range(options.range, LineIndex(source), source.size());
    if (!resolved) {
      std::fprintf(stderr, "mdspeak: %s\n", resolved.error().message.c_str());
      return 2;
    }
    range = *resolved;
  }

  if (options.output)
    return export_to_file(options, source, range, *service, install_signal_pipe());
  if (options.list_voices) return list_voices(options, *service);
  if (!speaks) return print_utterances(options, source, range, *service);

  const char* term = std::getenv("TERM");
  bool capable = term == nullptr || std::string_view(term) != "dumb";
  bool draws = !options.json && capable && isatty(STDOUT_FILENO);
  // Asked before the keys are taken and before Ctrl-C is caught: at the question it just ends.
  ResumeAt resume;
  auto memory = recall(options, source, draws && isatty(STDIN_FILENO), resume);

  // Only speech needs stopping in order; the other modes may die of Ctrl-C as they are.
  int signal_fd = install_signal_pipe();
  Terminal terminal;
  bool keys = false;
  if (draws) {
    keys = terminal.open() && terminal.enter();
    draws = keys;
  } else if (isatty(STDIN_FILENO)) {
    // Output piped or --json, typed at a terminal: the keys still work, and are neither
    // echoed into the output nor left for the shell.
    keys = terminal.open() && terminal.in_foreground() && terminal.enter(false);
  }
  Reader reader(options, std::move(source), std::move(*service), keys ? &terminal : nullptr, draws);
  reader.remember_in(std::move(memory), std::move(resume));
  return reader.run(range, signal_fd);
}

}  // namespace mdspeak::reader
