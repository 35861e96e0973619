// The connection to speech-dispatcher: its abandonable opener, the registry that routes the
// daemon's notifications to the connection's tracker, and the bounded `command()` (see
// speechd_connection.h for why and for the thread contract).
#include "speech/speechd_connection.h"

#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "speech/speechd_ssip.h"

namespace mdspeak::speechd {
namespace {

// Helper threads stuck in `spd_open2` on a wedged daemon; beyond this, no new attempt is made.
constexpr int kMaxStuckOpeners = 2;

// How long closing waits for libspeechd's reader thread to see the connection end.
constexpr auto kReaderExitTimeout = std::chrono::milliseconds(500);

// Connections deliver notifications to a plain C callback that is told the client id; this maps
// client ids to their trackers. Any thread, under its mutex.
struct Registry {
  std::mutex mutex;
  std::map<std::size_t, std::weak_ptr<EventTracker>> trackers;
};

Registry& registry() {
  static auto* instance = new Registry;  // never destroyed: libspeechd threads may outlive main
  return *instance;
}

std::shared_ptr<EventTracker> tracker_of(std::size_t client_id) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.trackers.find(client_id);
  return it == r.trackers.end() ? nullptr : it->second.lock();
}

// libspeechd's reader thread.
void on_notification(std::size_t message_id, std::size_t client_id, SPDNotificationType type) {
  EventTracker::Kind kind;
  switch (type) {
    case SPD_EVENT_BEGIN:
      kind = EventTracker::Kind::Begin;
      break;
    case SPD_EVENT_END:
      kind = EventTracker::Kind::End;
      break;
    case SPD_EVENT_CANCEL:
      kind = EventTracker::Kind::Cancel;
      break;
    default:
      return;
  }
  if (auto tracker = tracker_of(client_id)) tracker->notify(message_id, kind);
}

// libspeechd's reader thread.
void on_index_mark(std::size_t message_id, std::size_t client_id, SPDNotificationType type,
                   char* name) {
  if (type != SPD_EVENT_INDEX_MARK || name == nullptr) return;
  auto word = mark_word(name);
  if (!word) return;
  if (auto tracker = tracker_of(client_id)) tracker->notify_word(message_id, *word);
}

// Shared by the owner's thread and the opener thread, under its mutex; whichever side finishes
// last frees it.
struct OpenAttempt {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  SPDConnection* connection = nullptr;
  std::string error;
};

std::atomic<int> stuck_openers{0};

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

// Opens a connection to the daemon named by the environment (SPEECHD_ADDRESS or the default
// socket), starting the daemon on demand as other speech clients do, within `deadline`.
Result<SPDConnection*> open_connection(const char* name, SPDConnectionMode mode,
                                       Clock::time_point deadline) {
  if (stuck_openers.load() >= kMaxStuckOpeners) {
    return fail(tts_error::io("speech-dispatcher does not answer"));
  }
  auto attempt = std::make_shared<OpenAttempt>();
  try {
    std::thread([attempt, connection_name = std::string(name), mode] {
      block_sigpipe_in_this_thread();
      char* error = nullptr;
      SPDConnection* connection = spd_open2("mdspeak", connection_name.c_str(), nullptr, mode,
                                            nullptr, /*autospawn=*/1, &error);
      std::string text = error != nullptr ? error : "";
      std::free(error);
      std::unique_lock lock(attempt->mutex);
      if (attempt->abandoned) {
        --stuck_openers;
        lock.unlock();
        if (connection != nullptr) spd_close(connection);
        return;
      }
      attempt->connection = connection;
      attempt->error = trimmed(std::move(text));
      attempt->done = true;
      attempt->cv.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    return fail(tts_error::io(e.what()));
  }
  std::unique_lock lock(attempt->mutex);
  if (!attempt->cv.wait_until(lock, deadline, [&] { return attempt->done; })) {
    attempt->abandoned = true;
    ++stuck_openers;
    return fail(timed_out());
  }
  if (attempt->connection == nullptr) {
    return fail(tts_error::io(attempt->error.empty() ? "cannot connect to speech-dispatcher"
                                                     : attempt->error));
  }
  return attempt->connection;
}

// The id the daemon gave this connection ("245-<id>" in the reply), or -1. spd_get_client_id
// cannot be used: it crashes on a reply that never came, which is what a watchdog shutdown gives.
int query_client_id(SPDConnection* connection) {
  char* reply = nullptr;
  int id = -1;
  if (spd_execute_command_with_reply(connection, "HISTORY GET CLIENT_ID", &reply) == 0 &&
      reply != nullptr && std::strncmp(reply, "245-", 4) == 0) {
    char* end = nullptr;
    long value = std::strtol(reply + 4, &end, 10);
    if (end != reply + 4 && value >= 0 && value <= 1'000'000'000) id = static_cast<int>(value);
  }
  std::free(reply);
  return id;
}

// True when the daemon closed its end of the connection, or libspeechd closed ours.
bool connection_lost(const SPDConnection* connection, SocketId id) {
  if (!still_open(connection->socket, id)) return true;
  pollfd fd{connection->socket, POLLRDHUP, 0};
  return poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// The owner's thread, after shutting the socket down: waits, within a bound, until libspeechd's
// reader thread has closed the socket (the last thing it does on a broken connection before it
// exits, with no cancellation point left).
void wait_for_reader_exit(const SPDConnection* connection, SocketId id) {
  if (connection->mode != SPD_MODE_THREADED) return;
  const auto until = Clock::now() + kReaderExitTimeout;
  while (still_open(connection->socket, id) && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

}  // namespace

bool Connection::lost() const {
  return spd_ != nullptr && connection_lost(spd_, socket_id_);
}

Result<void> Connection::ensure_open() {
  // A daemon that went away (restarted with the speech stack, say) is replaced here, before a
  // command fails on the dead connection.
  if (lost()) close();
  if (spd_ != nullptr) return {};
  return open(open_deadline());
}

Clock::time_point Connection::open_deadline() {
  char* error = nullptr;
  SPDConnectionAddress* address = spd_get_default_address(&error);
  std::free(error);
  bool spawns = address != nullptr && address->method == SPD_METHOD_UNIX_SOCKET &&
                address->unix_socket_name != nullptr && !listening(address->unix_socket_name);
  if (address != nullptr) SPDConnectionAddress__free(address);
  return Clock::now() + (spawns ? kSpawnTimeout : kOpenTimeout);
}

Result<int> Connection::command(Clock::time_point until,
                                const std::function<int(SPDConnection*)>& run) {
  if (spd_ == nullptr) return fail(tts_error::io(std::strerror(ENOTCONN)));
  int answer;
  bool in_time;
  {
    SigpipeBlock block;
    std::uint64_t ticket = watchdog_.arm(spd_->socket, socket_id_, until);
    answer = run(spd_);
    in_time = watchdog_.disarm(ticket);
  }
  if (!in_time) {
    close();
    return fail(timed_out());
  }
  if (answer < 0) {
    if (connection_lost(spd_, socket_id_)) {
      close();
      return fail(tts_error::io(std::strerror(ECONNRESET)));
    }
    return fail(Error(std::string(tts_error::kOperationFailed)));
  }
  return answer;
}

Result<int> Connection::ping(Clock::time_point until) {
  return command(until, [](SPDConnection* c) { return query_client_id(c); });
}

Result<void> Connection::set_rate(int rate, Clock::time_point until) {
  auto set = command(until, [rate](SPDConnection* c) { return spd_set_voice_rate(c, rate); });
  if (!set) return fail(std::move(set.error()));
  rate_ = rate;
  return {};
}

Result<void> Connection::set_voice(const std::string& name, Clock::time_point until) {
  auto set = command(
      until, [&name](SPDConnection* c) { return spd_set_synthesis_voice(c, name.c_str()); });
  if (!set) return fail(std::move(set.error()));
  voice_ = name;
  return {};
}

Result<void> Connection::set_output_module(const std::string& module, Clock::time_point until) {
  auto set = command(
      until, [&module](SPDConnection* c) { return spd_set_output_module(c, module.c_str()); });
  if (!set) return fail(std::move(set.error()));
  module_ = module;
  return {};
}

Result<void> Connection::set_language(const std::string& tag, Clock::time_point until) {
  auto set = command(until, [&tag](SPDConnection* c) { return spd_set_language(c, tag.c_str()); });
  if (!set) return fail(std::move(set.error()));
  language_ = tag;
  voice_.reset();
  return {};
}

Result<void> Connection::open(Clock::time_point until) {
  auto opened = open_connection("main", SPD_MODE_THREADED, until);
  if (!opened) return fail(std::move(opened.error()));
  spd_ = *opened;
  ++opened_;
  auto id = socket_id(spd_->socket);
  if (!id) {
    spd_close(std::exchange(spd_, nullptr));
    return fail(tts_error::io(std::strerror(ENOTSOCK)));
  }
  socket_id_ = *id;
  watch_.attach(spd_->socket);
  spd_->callback_begin = on_notification;
  spd_->callback_end = on_notification;
  spd_->callback_cancel = on_notification;
  spd_->callback_im = on_index_mark;
  events_->reset();

  auto client = ping(until);
  if (!client) return close_with(std::move(client.error()));
  client_id_ = static_cast<std::size_t>(*client);
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.trackers[client_id_] = events_;
  }
  registered_ = true;

  auto mode = command(until, [](SPDConnection* c) { return spd_set_data_mode(c, SPD_DATA_SSML); });
  if (!mode) return close_with(std::move(mode.error()));
  for (SPDNotification kind : {SPD_BEGIN, SPD_END, SPD_CANCEL, SPD_INDEX_MARKS}) {
    auto on = command(until, [kind](SPDConnection* c) { return spd_set_notification_on(c, kind); });
    if (!on) return close_with(std::move(on.error()));
  }
  if (rate_) {
    if (auto set = set_rate(*rate_, until); !set) return close_with(std::move(set.error()));
  }
  // The module first, as voice names belong to it; then language and voice in the order they
  // were set: a language set after a voice name replaced it.
  const std::optional<std::string> module = module_;
  const std::optional<std::string> language = language_;
  const std::optional<std::string> voice = voice_;
  if (module) {
    if (auto set = set_output_module(*module, until); !set) {
      return close_with(std::move(set.error()));
    }
  }
  if (language) {
    if (auto set = set_language(*language, until); !set) {
      return close_with(std::move(set.error()));
    }
  }
  if (voice) {
    if (auto set = set_voice(*voice, until); !set) return close_with(std::move(set.error()));
  }
  return {};
}

Result<void> Connection::close_with(Error error) {
  close();
  return fail(std::move(error));
}

void Connection::close() {
  if (registered_) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.trackers.erase(client_id_);
    registered_ = false;
  }
  events_->cancel_all();
  if (spd_ == nullptr) return;
  SPDConnection* connection = std::exchange(spd_, nullptr);
  SigpipeBlock block;
  // Wakes anything of libspeechd's still waiting on the daemon before the connection goes. Its
  // reader thread then reads the end of the stream, closes the socket and exits by itself;
  // spd_close is called once it did, as spd_close cancels a reader it finds still blocked in a
  // read, and a thread cancelled inside a C library call leaves ThreadSanitizer's runtime in a
  // state it deadlocks on. A reader that does not get there in time is cancelled as before.
  shutdown_if_open(connection->socket, socket_id_);
  wait_for_reader_exit(connection, socket_id_);
  spd_close(connection);
}

}  // namespace mdspeak::speechd
