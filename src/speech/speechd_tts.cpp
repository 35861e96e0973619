// The Linux backend: speech-dispatcher through libspeechd.
//
// The bounded-call pieces live in speechd_bounded.h, the notification rules in
// speechd_events.cpp, the SSML in speechd_ssml.cpp and the voice listing in speechd_voices.cpp;
// this file holds the connection (its abandonable opener, the callback registry and `command()`),
// the voice cache with its refresh thread, and the `Tts` adapter. Two rules shape it.
//
// Never hang. A daemon whose audio output died still accepts a connection and then never answers
// (measured: `spd_cancel` and even `spd_open2` block forever). So every call into libspeechd is
// bounded: connections are opened on a helper thread that is abandoned when it misses its
// deadline, and every command on an open connection is watched by a watchdog that shuts the socket
// down when the command overruns, which makes libspeechd give up with an error. A connection that
// overran or lost its daemon is dropped; the next operation opens a new one (perhaps to a
// restarted daemon) and re-applies rate and voice.
//
// Cheap voice lists. The daemon lists every voice once per synthesizer variant (more than 13,000
// entries, about 0.4 s of its time), yet the catalogue is read before every document is spoken.
// The plain voices are therefore cached. The first listing starts in the background when the
// backend is created; afterwards a read that finds the list older than ten seconds starts one new
// background listing and meanwhile answers with the list it has. Reads never wait except for the
// very first list, and a voice that appears in the daemon shows up in the list within one refresh.
// Listing runs on a connection of its own (see speechd_voices.cpp), so speaking is never held up
// behind it.
#include "speech/speechd_tts.h"

#include "speech/speechd_bounded.h"

#include <libspeechd.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace mdspeak {
namespace speechd {

UtteranceId utterance_id(std::size_t message_id) {
  return UtteranceId("SpeechDispatcher(" + std::to_string(message_id) + ")");
}

std::vector<Voice> plain_voices(const std::vector<ListedVoice>& listing) {
  std::vector<Voice> voices;
  for (const ListedVoice& entry : listing) {
    if (entry.variant != "none") continue;
    voices.push_back(Voice{entry.name, entry.name, std::nullopt, entry.language});
  }
  return voices;
}

}  // namespace speechd

namespace {

using speechd::block_sigpipe_in_this_thread;
using speechd::EventTracker;
using speechd::shutdown_if_open;
using speechd::SigpipeBlock;
using speechd::socket_id;
using speechd::SocketId;
using speechd::still_open;
using speechd::timed_out;
using speechd::Watchdog;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Opening includes starting the daemon on demand (about 0.3-0.5 s when it works).
constexpr milliseconds kOpenTimeout{1500};
// A command normally takes about a millisecond.
constexpr milliseconds kCallTimeout{2000};
constexpr milliseconds kListTimeout{10000};
constexpr std::chrono::seconds kVoiceListMaxAge{10};
// While utterances are pending and the daemon has been silent this long, `is_speaking` checks
// that it still answers, so a wedged daemon cannot keep the host waiting for ever.
constexpr milliseconds kQuietBeforePing{2000};
// Queued utterances of which none has begun after this long of silence never will: the daemon
// answers but its audio output is dead. Long enough for utterances queued behind other clients'.
constexpr std::chrono::seconds kQuietBeforeGivingUp{30};
// Helper threads stuck in `spd_open2` on a wedged daemon; beyond this, no new attempt is made.
constexpr int kMaxStuckOpeners = 2;

// Connections deliver notifications to a plain C callback that is told the client id; this maps
// client ids to their trackers.
struct Registry {
  std::mutex mutex;
  std::map<std::size_t, std::weak_ptr<EventTracker>> trackers;
};

Registry& registry() {
  static auto* instance = new Registry;  // never destroyed: libspeechd threads may outlive main
  return *instance;
}

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
  std::shared_ptr<EventTracker> tracker;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.trackers.find(client_id);
    if (it != r.trackers.end()) tracker = it->second.lock();
  }
  if (tracker) tracker->notify(message_id, kind);
}

std::shared_ptr<EventTracker> tracker_of(std::size_t client_id) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.trackers.find(client_id);
  return it == r.trackers.end() ? nullptr : it->second.lock();
}

void on_index_mark(std::size_t message_id, std::size_t client_id, SPDNotificationType type,
                   char* name) {
  if (type != SPD_EVENT_INDEX_MARK || name == nullptr) return;
  auto word = speechd::mark_word(name);
  if (!word) return;
  if (auto tracker = tracker_of(client_id)) tracker->notify_word(message_id, *word);
}

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

class SpeechdTts final : public Tts {
 public:
  static Result<std::unique_ptr<Tts>> create() {
    std::unique_ptr<SpeechdTts> tts(new SpeechdTts());
    auto connected = tts->connect(Clock::now() + kOpenTimeout);
    if (!connected) return fail(std::move(connected.error()));
    {
      std::lock_guard lock(tts->cache_mutex_);
      tts->start_refresh_locked();
    }
    return std::unique_ptr<Tts>(std::move(tts));
  }

  ~SpeechdTts() override {
    {
      std::lock_guard lock(cache_mutex_);
      closing_ = true;
      if (listing_fd_ >= 0) shutdown(listing_fd_, SHUT_RDWR);
    }
    if (refresh_thread_.joinable()) refresh_thread_.join();
    if (spd_ != nullptr && events_->speaking()) {
      // Leave nothing of ours playing; bounded like every command.
      (void)command(Clock::now() + kCallTimeout, [](SPDConnection* c) { return spd_cancel(c); });
    }
    events_->close();
    close_connection();
  }

  Features supported_features() const override {
    return Features{.is_speaking = true,
                    .pitch = true,
                    .rate = true,
                    .stop = true,
                    .utterance_callbacks = true,
                    .voice = true,
                    .get_voice = false,
                    .volume = true};
  }

  Result<void> on_utterance_begin(UtteranceCallback callback) override {
    events_->set_begin(std::move(callback));
    return {};
  }
  Result<void> on_utterance_end(UtteranceCallback callback) override {
    events_->set_end(std::move(callback));
    return {};
  }

  Result<void> on_word(WordCallback callback) override {
    events_->set_word(std::move(callback));
    return {};
  }

  Result<std::optional<UtteranceId>> speak(std::string_view text, bool interrupt) override {
    return speak_words(text, {}, interrupt);
  }

  Result<std::optional<UtteranceId>> speak_words(std::string_view text,
                                                 std::span<const WordMark> words,
                                                 bool interrupt) override {
    if (auto connected = ensure_connected(); !connected) return fail(std::move(connected.error()));
    if (interrupt) {
      auto cancelled = command(deadline(), [](SPDConnection* c) { return spd_cancel(c); });
      if (!cancelled) return fail(std::move(cancelled.error()));
      events_->cancel_all();
    }
    // SPD_MESSAGE queues behind our earlier utterances; SPD_TEXT would cancel them.
    // Every utterance goes as SSML, so that a mark before each word tells when it is heard.
    const std::string owned = speechd::ssml(text, words);
    auto id = command(send_deadline(owned.size()), [&owned](SPDConnection* c) {
      return spd_say(c, SPD_MESSAGE, owned.c_str());
    });
    if (!id) return fail(std::move(id.error()));
    events_->queued(static_cast<std::size_t>(*id));
    return std::optional<UtteranceId>(speechd::utterance_id(static_cast<std::size_t>(*id)));
  }

  Result<void> stop() override {
    // Without a connection nothing of ours is queued any more.
    if (spd_ != nullptr && connection_lost(spd_, socket_id_)) close_connection();
    if (spd_ == nullptr) {
      events_->cancel_all();
      return {};
    }
    // spd_cancel, not spd_stop: stopping ends only the current message and the queue goes on.
    auto cancelled = command(deadline(), [](SPDConnection* c) { return spd_cancel(c); });
    events_->cancel_all();
    if (!cancelled) return fail(std::move(cancelled.error()));
    return {};
  }

  Result<bool> is_speaking() override {
    if (!events_->speaking()) return false;
    if (spd_ == nullptr) {
      events_->cancel_all();
      return false;
    }
    auto now = Clock::now();
    if (now - events_->last_activity() >= kQuietBeforePing &&
        now - last_ping_ >= kQuietBeforePing) {
      last_ping_ = now;
      // A daemon that cannot answer this trivial query will not report the end of speech either.
      if (!command(deadline(), [](SPDConnection* c) { return query_client_id(c); })) {
        close_connection();
      }
    }
    // Asking the daemon to cancel could block forever here; forgetting is enough for the host.
    if (events_->stalled(kQuietBeforeGivingUp)) events_->cancel_all();
    return events_->speaking();
  }

  Result<std::vector<Voice>> voices() override {
    std::unique_lock lock(cache_mutex_);
    if (!cache_) {
      start_refresh_locked();
      cache_cv_.wait_until(lock, Clock::now() + kOpenTimeout + kListTimeout + milliseconds(500),
                           [this] { return cache_.has_value() || !refreshing_; });
      if (!cache_) return fail(cache_error_ ? *cache_error_ : timed_out());
    } else if (Clock::now() - cache_time_ >= kVoiceListMaxAge) {
      start_refresh_locked();
    }
    return *cache_;
  }

  Result<void> set_voice(const Voice& voice) override {
    // The daemon accepts any name and then speaks with its default voice: check first.
    auto known = voices();
    if (!known) return fail(std::move(known.error()));
    auto same_id = [&voice](const Voice& v) { return v.id == voice.id; };
    if (std::none_of(known->begin(), known->end(), same_id)) {
      return fail(Error(std::string(tts_error::kOperationFailed)));
    }
    if (auto connected = ensure_connected(); !connected) return fail(std::move(connected.error()));
    auto set = command(deadline(), [&voice](SPDConnection* c) {
      return spd_set_synthesis_voice(c, voice.id.c_str());
    });
    if (!set) return fail(std::move(set.error()));
    voice_ = voice.id;
    return {};
  }

  float min_rate() const override { return speechd::kMinRate; }
  float normal_rate() const override { return speechd::kNormalRate; }
  float max_rate() const override { return speechd::kMaxRate; }

  Result<void> set_rate(float rate) override {
    if (!(rate >= speechd::kMinRate && rate <= speechd::kMaxRate)) {
      return fail(Error(std::string(tts_error::kOutOfRange)));
    }
    int value = static_cast<int>(std::lround(rate));
    if (auto connected = ensure_connected(); !connected) return fail(std::move(connected.error()));
    auto set =
        command(deadline(), [value](SPDConnection* c) { return spd_set_voice_rate(c, value); });
    if (!set) return fail(std::move(set.error()));
    rate_ = value;
    return {};
  }

 private:
  SpeechdTts() = default;

  static Clock::time_point deadline() { return Clock::now() + kCallTimeout; }
  // Sending a long utterance takes the daemon time in proportion (about 1 s per 4 MB measured);
  // the bound grows with it so that a valid long text is not refused.
  static Clock::time_point send_deadline(std::size_t bytes) {
    return deadline() + milliseconds(bytes / 1024);
  }

  // Runs one libspeechd command on the main connection within `until`. A negative answer is
  // "Operation failed"; an overrun or a lost daemon also drops the connection.
  template <class F>
  Result<int> command(Clock::time_point until, F&& run) {
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
      close_connection();
      return fail(timed_out());
    }
    if (answer < 0) {
      if (connection_lost(spd_, socket_id_)) {
        close_connection();
        return fail(tts_error::io(std::strerror(ECONNRESET)));
      }
      return fail(Error(std::string(tts_error::kOperationFailed)));
    }
    return answer;
  }

  // A daemon that went away (restarted with the speech stack, say) is replaced here, before a
  // command fails on the dead connection.
  Result<void> ensure_connected() {
    if (spd_ != nullptr && connection_lost(spd_, socket_id_)) close_connection();
    if (spd_ != nullptr) return {};
    return connect(Clock::now() + kOpenTimeout);
  }

  // Opens the main connection, routes its notifications to `events_` and restores the rate and
  // voice that were in force on the previous connection, if any.
  Result<void> connect(Clock::time_point until) {
    auto opened = open_connection("main", SPD_MODE_THREADED, until);
    if (!opened) return fail(std::move(opened.error()));
    spd_ = *opened;
    auto id = socket_id(spd_->socket);
    if (!id) {
      spd_close(std::exchange(spd_, nullptr));
      return fail(tts_error::io(std::strerror(ENOTSOCK)));
    }
    socket_id_ = *id;
    spd_->callback_begin = on_notification;
    spd_->callback_end = on_notification;
    spd_->callback_cancel = on_notification;
    spd_->callback_im = on_index_mark;
    events_->reset();

    auto client = command(until, [](SPDConnection* c) { return query_client_id(c); });
    if (!client) return drop_with(std::move(client.error()));
    client_id_ = static_cast<std::size_t>(*client);
    {
      Registry& r = registry();
      std::lock_guard lock(r.mutex);
      r.trackers[client_id_] = events_;
    }
    registered_ = true;

    auto mode =
        command(until, [](SPDConnection* c) { return spd_set_data_mode(c, SPD_DATA_SSML); });
    if (!mode) return drop_with(std::move(mode.error()));
    for (SPDNotification kind : {SPD_BEGIN, SPD_END, SPD_CANCEL, SPD_INDEX_MARKS}) {
      auto on =
          command(until, [kind](SPDConnection* c) { return spd_set_notification_on(c, kind); });
      if (!on) return drop_with(std::move(on.error()));
    }
    if (rate_) {
      int value = *rate_;
      auto set = command(until, [value](SPDConnection* c) { return spd_set_voice_rate(c, value); });
      if (!set) return drop_with(std::move(set.error()));
    }
    if (voice_) {
      const std::string& name = *voice_;
      auto set = command(
          until, [&name](SPDConnection* c) { return spd_set_synthesis_voice(c, name.c_str()); });
      if (!set) return drop_with(std::move(set.error()));
    }
    return {};
  }

  Result<void> drop_with(Error error) {
    close_connection();
    return fail(std::move(error));
  }

  // Forgets the main connection; its pending utterances will never be reported.
  void close_connection() {
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
    // Wakes anything of libspeechd's still waiting on the daemon before the connection goes.
    shutdown_if_open(connection->socket, socket_id_);
    spd_close(connection);
  }

  // Starts a background listing unless one runs already. Caller holds cache_mutex_.
  void start_refresh_locked() {
    if (refreshing_ || closing_) return;
    if (refresh_thread_.joinable()) refresh_thread_.join();  // finished: refreshing_ is false
    refreshing_ = true;
    try {
      refresh_thread_ = std::thread([this] { refresh(); });
    } catch (const std::system_error& e) {
      refreshing_ = false;
      cache_error_ = tts_error::io(e.what());
    }
  }

  void refresh() {
    auto listed = speechd::list_voices(Clock::now() + kListTimeout, [this](int socket) {
      std::lock_guard lock(cache_mutex_);
      if (socket >= 0 && closing_) return false;
      listing_fd_ = socket;
      return true;
    });
    std::lock_guard lock(cache_mutex_);
    if (listed) {
      cache_ = std::move(*listed);
      cache_time_ = Clock::now();
      cache_error_.reset();
    } else {
      cache_error_ = std::move(listed.error());
    }
    refreshing_ = false;
    cache_cv_.notify_all();
  }

  // Thread ownership. The owner's thread (the host's main thread) calls every public method and
  // alone touches the connection fields. libspeechd's reader thread reaches only `events_` (via
  // the registry), the watchdog thread only `watchdog_`'s inside, and the refresh thread only
  // the voice-cache fields, always under `cache_mutex_`.

  // Declared first so that it outlives the threads that use it. Internally locked.
  Watchdog watchdog_;
  // Shared with libspeechd's reader thread through the registry; internally locked.
  std::shared_ptr<EventTracker> events_ = std::make_shared<EventTracker>();

  // The main connection: owner's thread only.
  SPDConnection* spd_ = nullptr;
  SocketId socket_id_;
  std::size_t client_id_ = 0;
  bool registered_ = false;
  std::optional<int> rate_;
  std::optional<std::string> voice_;
  Clock::time_point last_ping_{};

  // The voice cache: owner's thread and the refresh thread, under `cache_mutex_`.
  std::mutex cache_mutex_;
  std::condition_variable cache_cv_;
  std::optional<std::vector<Voice>> cache_;
  Clock::time_point cache_time_{};
  std::optional<Error> cache_error_;
  bool refreshing_ = false;
  bool closing_ = false;
  int listing_fd_ = -1;
  // Started and joined by the owner's thread under `cache_mutex_`, or by the destructor.
  std::thread refresh_thread_;
};

}  // namespace

Result<std::unique_ptr<Tts>> create_default_tts() {
  return SpeechdTts::create();
}

}  // namespace mdspeak
