// The host: the request intake thread and the single-threaded main loop.
//
// The intake reads standard input and turns its lines into requests on the request channel; the
// speech engine's callbacks put events on the event channel; both channels share one `Wakeup`, so
// the loop sleeps in one wait and wakes within microseconds for either. The loop answers one
// request at a time, in order, forwards speech events through the spoken table, and after input
// ends keeps forwarding until the synthesizer has stopped speaking.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>

#include "common/channel.h"
#include "common/error.h"
#include "main/app_state.h"
#include "protocol/protocol.h"
#include "speech/speech_engine.h"

namespace mdspeak {

// Starts the intake thread on file descriptor `fd` (never joined). Fails with
// "failed to spawn thread" when no thread can be started.
Result<void> spawn_request_intake(Sender<Request> requests, int fd);

// Reads framed lines from `fd` until end of input, a read error or invalid UTF-8, decoding each
// trimmed non-empty line and sending the requests that decode. Returns when reading stops or the
// receiver is gone. Runs on the intake thread; exposed for tests.
void take_in_requests(int fd, const Sender<Request>& requests);

// Writes one complete line (message plus line feed); a failure ends the loop.
using LineWriter = std::function<Result<void>(std::string_view line)>;

// A writer for a file descriptor: whole lines, retried on partial writes, EPIPE as an error.
LineWriter fd_line_writer(int fd);

// Runs the main loop until input has closed and speech has finished (success), or until writing
// fails (that failure). When `stop_signal` becomes non-zero (a signal arrived; the sender also
// notifies the channels' wakeup) the loop silences the service's speech and returns success.
Result<void> run_main_loop(Receiver<Request>& requests, Receiver<SpeechEvent>& events,
                           AppState& state, const LineWriter& write_line,
                           const std::atomic<int>* stop_signal = nullptr);

// The answer messages for one request (two for `init` on an unavailable backend).
std::vector<Message> dispatch(AppState& state, Request request);

}  // namespace mdspeak
