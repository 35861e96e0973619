#include "main/host.h"

#include <fcntl.h>
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

// An output line longer than this was unusual: its buffer is not kept for the next.
constexpr std::size_t kKeptLineCapacity = std::size_t{1} << 20;

// The pipe width asked for once an output line is longer than it (Linux's default limit for
// unprivileged processes).
constexpr std::size_t kWidePipe = std::size_t{1} << 20;

}  // namespace

LineWriter fd_line_writer(int fd) {
  return [fd, widened = false](std::string_view line) mutable -> Result<void> {
    // A large answer through a pipe moves in far fewer wakeups of both sides with a wider pipe;
    // where that cannot be had (not a pipe, over the system's limit) the width stays.
    if (!widened && line.size() > kWidePipe) {
      widened = true;
      fcntl(fd, F_SETPIPE_SZ, static_cast<int>(kWidePipe));
    }
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
  return state.handle(std::move(request));
}

namespace {

// The loop's output side: writes messages as lines, forwards speech events and export news, and
// reports speech given up on.
class LoopOutput {
 public:
  LoopOutput(Receiver<SpeechEvent>& events, AppState& state, const LineWriter& write_line)
      : events_(events), state_(state), write_line_(write_line) {}

  Result<void> write(const Message& message) {
    line_.clear();
    encode_message(message, line_);
    line_.push_back('\n');
    auto written = write_line_(line_);
    // One huge answer does not keep its buffer (a block this large goes straight back to the
    // system when freed).
    if (line_.capacity() > kKeptLineCapacity) std::string().swap(line_);
    return written;
  }

  // Writes the message of every waiting event whose utterance is in the spoken table; events
  // for utterances no longer there are dropped.
  Result<void> forward_events() {
    while (auto message = state_.next_export_message()) {
      if (auto written = write(*message); !written) return written;
    }
    std::optional<SpeechEvent> event;
    while (events_.try_recv(event) == TryRecv::Value) {
      if (auto message = state_.on_event(*event)) {
        if (auto written = write(*message); !written) return written;
      }
      event.reset();
    }
    return {};
  }

  // Gives up on stalled speech, and reports speech given up on once what came before it ended.
  Result<void> check_speech() {
    Result<void> reported;
    state_.give_up_if_stalled(std::chrono::steady_clock::now(),
                              [&](const Message& failed) { reported = write(failed); });
    if (!reported) return reported;
    if (auto failed = state_.take_failure()) return write(*failed);
    return {};
  }

  // Both of the above, as every turn of the loop does them.
  Result<void> catch_up() {
    if (auto forwarded = forward_events(); !forwarded) return forwarded;
    return check_speech();
  }

 private:
  Receiver<SpeechEvent>& events_;
  AppState& state_;
  const LineWriter& write_line_;
  std::string line_;
};

}  // namespace

Result<void> run_main_loop(Receiver<Request>& requests, Receiver<SpeechEvent>& events,
                           AppState& state, const LineWriter& write_line,
                           const std::atomic<int>* stop_signal) {
  const std::shared_ptr<Wakeup> wakeup = requests.wakeup();
  LoopOutput out(events, state, write_line);
  state.attach_wakeup(wakeup);
  bool input_closed = false;
  for (;;) {
    // Taken before looking at either channel, so a send after the look still wakes the wait.
    const std::uint64_t seen = wakeup->generation();

    if (stop_signal != nullptr && stop_signal->load() != 0) {
      state.silence();
      return {};
    }
    if (auto caught_up = out.catch_up(); !caught_up) return caught_up;

    if (input_closed) {
      // An export started before the input closed is finished and answered.
      if (!state.speech_outstanding() && !state.exporting()) {
        // The last end may have been sent between the look at the channel and the question;
        // forwarding it may also hand the synthesizer the next waiting utterance.
        const std::uint64_t handed = state.handed_count();
        if (auto caught_up = out.catch_up(); !caught_up) return caught_up;
        if (state.handed_count() == handed) return {};
      }
      wakeup->wait_for(seen, kRequestWait);
      continue;
    }

    std::optional<Request> request;
    switch (requests.try_recv(request)) {
      case TryRecv::Value:
        // A pause remembers the last word heard: take in the words reported so far first.
        if (std::holds_alternative<Pause>(*request)) {
          if (auto forwarded = out.forward_events(); !forwarded) return forwarded;
        }
        for (const Message& answer : dispatch(state, std::move(*request))) {
          if (auto written = out.write(answer); !written) return written;
        }
        state.give_back_memory();
        break;
      case TryRecv::Disconnected:
        input_closed = true;
        break;
      case TryRecv::Empty:
        // Idle: finish what a load left for after its answer, then look again, so that a
        // request waits for at most one document's summary.
        if (state.settle_one_load()) break;
        wakeup->wait_for(seen, kRequestWait);
        break;
    }
  }
}

}  // namespace mdspeak
