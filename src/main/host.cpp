#include "main/host.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "common/text.h"
#include "common/unicode.h"

namespace mdspeak {
namespace {

using namespace std::chrono_literals;

// Longest wait for a request or event in one iteration; also the pause between speaking-state
// polls while draining.
constexpr auto kRequestWait = 25ms;

void handle_line(std::string_view line, const Sender<Request>& requests, bool& receiver_gone) {
  std::string_view trimmed = text::trim(line);
  if (trimmed.empty()) return;
  auto request = decode_request(trimmed);
  if (!request) return;  // undecodable lines get no answer
  if (!requests.send(std::move(*request))) receiver_gone = true;
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string backend_text(const AppState& state) {
  if (!state.speech) return "system-tts (unknown)";
  return "system-tts (" + feature_text(state.speech->features()) + ")";
}

}  // namespace

void read_requests(int fd, const Sender<Request>& requests) {
  std::string pending;  // bytes of the line being read
  std::string chunk(1 << 16, '\0');
  bool receiver_gone = false;
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input or a read error
    std::size_t begin = 0;
    for (;;) {
      const void* found =
          std::memchr(chunk.data() + begin, '\n', static_cast<std::size_t>(n) - begin);
      if (found == nullptr) {
        pending.append(chunk.data() + begin, static_cast<std::size_t>(n) - begin);
        break;
      }
      std::size_t end = static_cast<const char*>(found) - chunk.data();
      pending.append(chunk.data() + begin, end - begin);
      begin = end + 1;
      if (!pending.empty() && pending.back() == '\r') pending.pop_back();
      // A line that is not UTF-8 is a read error: nothing after it is read.
      if (!unicode::is_valid_utf8(pending)) return;
      handle_line(pending, requests, receiver_gone);
      if (receiver_gone) return;
      pending.clear();
    }
  }
  // A last line without a line feed still counts.
  if (!pending.empty() && unicode::is_valid_utf8(pending)) {
    handle_line(pending, requests, receiver_gone);
  }
}

Result<void> spawn_stdin_reader(Sender<Request> requests, int fd) {
  try {
    std::thread([requests = std::move(requests), fd] { read_requests(fd, requests); }).detach();
  } catch (const std::system_error& e) {
    return fail(Error("failed to spawn thread", Error(e.what())));
  }
  return {};
}

LineWriter fd_line_writer(int fd) {
  return [fd](std::string_view line) -> Result<void> {
    std::size_t done = 0;
    while (done < line.size()) {
      ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Error("failed to write to standard output",
                          Error(std::string(std::strerror(errno)) + " (os error " +
                                std::to_string(errno) + ")")));
      }
      done += static_cast<std::size_t>(n);
    }
    return {};
  };
}

std::vector<Message> dispatch(AppState& state, Request request) {
  return std::visit(
      Overloaded{
          [&](Init& r) -> std::vector<Message> {
            if (state.speech_error) {
              return {BackendUnavailable{*state.speech_error},
                      InitResult{std::move(r.id), false, "system-tts", *state.speech_error}};
            }
            return {InitResult{std::move(r.id), true, backend_text(state), std::nullopt}};
          },
          [&](ListVoices& r) -> std::vector<Message> {
            if (!state.speech) {
              return {AppState::error_message(std::move(r.id), "list_voices_failed",
                                              state.unavailable_error())};
            }
            auto voices = state.speech->voices();
            if (!voices) {
              return {
                  AppState::error_message(std::move(r.id), "list_voices_failed", voices.error())};
            }
            return {ListVoicesResult{std::move(r.id), std::move(*voices)}};
          },
          [&](LoadDocument& r) -> std::vector<Message> {
            return {state.load_document(std::move(r))};
          },
          [&](PrepareSpeech& r) -> std::vector<Message> { return {state.prepare_speech(r)}; },
          [&](PrepareSummary& r) -> std::vector<Message> { return {state.prepare_summary(r)}; },
          [&](Speak& r) -> std::vector<Message> { return {state.speak(r)}; },
          [&](SpeakSummary& r) -> std::vector<Message> { return {state.speak_summary(r)}; },
          [&](Stop& r) -> std::vector<Message> {
            if (!state.speech) {
              return {AppState::error_message(std::move(r.id), "stop_failed",
                                              state.unavailable_error())};
            }
            if (auto stopped = state.speech->stop(); !stopped) {
              return {AppState::error_message(std::move(r.id), "stop_failed", stopped.error())};
            }
            state.spoken.clear();
            return {StopResult{std::move(r.id)}};
          },
      },
      request);
}

Result<void> run_main_loop(Receiver<Request>& requests, Receiver<SpeechEvent>& events,
                           AppState& state, const LineWriter& write_line) {
  const std::shared_ptr<Wakeup> wakeup = requests.wakeup();
  std::string line;
  auto write = [&](const Message& message) -> Result<void> {
    line.clear();
    encode_message(message, line);
    line.push_back('\n');
    return write_line(line);
  };

  // Writes "utterance_begin"/"utterance_end" for every waiting event whose id is in the spoken
  // table; events for utterances no longer there are dropped.
  auto forward_events = [&]() -> Result<void> {
    std::optional<SpeechEvent> event;
    while (events.try_recv(event) == TryRecv::Value) {
      auto entry = state.find_spoken(event->id.text());
      if (entry != state.spoken.end()) {
        const SpokenUtterance& s = entry->second;
        Result<void> written;
        if (event->kind == SpeechEventKind::UtteranceBegin) {
          written = write(UtteranceBegin{s.document_id, s.utterance_index, s.start_offset,
                                         s.end_offset, s.text});
        } else {
          SpokenUtterance done = std::move(entry->second);
          state.spoken.erase(entry);
          written = write(UtteranceEnd{std::move(done.document_id), done.utterance_index,
                                       done.start_offset, done.end_offset, std::move(done.text)});
        }
        if (!written) return written;
      }
      event.reset();
    }
    return {};
  };

  bool input_closed = false;
  for (;;) {
    // Taken before looking at either channel, so a send after the look still wakes the wait.
    const std::uint64_t seen = wakeup->generation();

    if (auto forwarded = forward_events(); !forwarded) return forwarded;

    if (input_closed) {
      if (!state.speech) return {};
      auto speaking = state.speech->is_speaking();
      const bool keep_waiting = speaking ? *speaking : !state.spoken.empty();
      if (!keep_waiting) {
        // The last end may have been sent between the look at the channel and the question.
        return forward_events();
      }
      wakeup->wait_for(seen, kRequestWait);
      continue;
    }

    std::optional<Request> request;
    switch (requests.try_recv(request)) {
      case TryRecv::Value:
        for (const Message& answer : dispatch(state, std::move(*request))) {
          if (auto written = write(answer); !written) return written;
        }
        break;
      case TryRecv::Disconnected:
        input_closed = true;
        break;
      case TryRecv::Empty:
        wakeup->wait_for(seen, kRequestWait);
        break;
    }
  }
}

}  // namespace mdspeak
