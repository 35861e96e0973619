// The Linux backend: the `Tts` facade over speech-dispatcher.
//
// The adapter only maps facade calls onto the pieces that do the work: the bounded connection
// (speechd_connection.h), which also routes the daemon's notifications to the callbacks and
// watches the daemon's processes for signs of life (speechd_liveness.h), the voice cache with its
// refresh thread (speechd_voice_cache.h), and the SSML that marks each word (speechd_ssip.h).
// Every call is bounded in time, so a daemon that stops answering becomes an error, never a hang.
//
// Thread contract: the owner's thread (the host's main thread) calls every member; the callbacks
// it installs run on libspeechd's reader thread (see `EventTracker`).
#include <libspeechd.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "speech/speechd_connection.h"
#include "speech/speechd_ssip.h"
#include "speech/speechd_voice_cache.h"
#include "speech/tts_module.h"

namespace mdspeak {
namespace {

using speechd::Clock;
using std::chrono::milliseconds;

// Where the daemon's processes cannot be watched (another user's or machine's daemon): while
// utterances are pending and the daemon has been silent this long, `is_speaking` checks that it
// still answers, so a wedged daemon cannot keep the host waiting for ever.
constexpr milliseconds kQuietBeforePing{2000};
// There too: queued utterances of which none has begun after this long of silence never will:
// the daemon answers but its audio output is dead. Long enough for most waits behind other
// clients'.
constexpr std::chrono::seconds kQuietBeforeGivingUp{30};

Clock::time_point deadline() {
  return Clock::now() + speechd::kCallTimeout;
}
// Sending a long utterance takes the daemon time in proportion (about 1 s per 4 MB measured);
// the bound grows with it so that a valid long text is not refused.
Clock::time_point send_deadline(std::size_t bytes) {
  return deadline() + milliseconds(bytes / 1024);
}

int cancel(SPDConnection* c) {
  return spd_cancel(c);
}

class SpeechdTts final : public Tts {
 public:
  static Result<std::unique_ptr<Tts>> create() {
    std::unique_ptr<SpeechdTts> tts(new SpeechdTts());
    auto opened = tts->connection_.open(speechd::Connection::open_deadline());
    if (!opened) return fail(std::move(opened.error()));
    return std::unique_ptr<Tts>(std::move(tts));
  }

  ~SpeechdTts() override {
    voices_.shut_down();
    // Leave nothing of ours playing; bounded like every command.
    if (connection_.is_open() && events().speaking()) (void)connection_.command(deadline(), cancel);
    events().close();
    connection_.close();
    // A daemon started for us would otherwise outlive us (it waits for clients that never come).
    connection_.watch().stop_daemon_if_ours();
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
    events().set_begin(std::move(callback));
    return {};
  }
  Result<void> on_utterance_end(UtteranceCallback callback) override {
    events().set_end(std::move(callback));
    return {};
  }
  Result<void> on_word(WordCallback callback) override {
    events().set_word(std::move(callback));
    return {};
  }

  Result<std::optional<UtteranceId>> speak(std::string_view text, bool interrupt) override {
    return speak_words(text, {}, interrupt);
  }

  Result<std::optional<UtteranceId>> speak_words(std::string_view text,
                                                 std::span<const WordMark> words,
                                                 bool interrupt) override {
    if (auto opened = connection_.ensure_open(); !opened) return fail(std::move(opened.error()));
    if (interrupt) {
      auto cancelled = connection_.command(deadline(), cancel);
      if (!cancelled) return fail(std::move(cancelled.error()));
      events().cancel_all();
    }
    // SPD_MESSAGE queues behind our earlier utterances; SPD_TEXT would cancel them.
    // Every utterance goes as SSML, so that a mark before each word tells when it is heard.
    const std::string owned = speechd::ssml(text, words);
    auto id = connection_.command(send_deadline(owned.size()), [&owned](SPDConnection* c) {
      return spd_say(c, SPD_MESSAGE, owned.c_str());
    });
    if (!id) return fail(std::move(id.error()));
    events().queued(static_cast<std::size_t>(*id));
    return std::optional<UtteranceId>(speechd::utterance_id(static_cast<std::size_t>(*id)));
  }

  Result<void> stop() override {
    // Without a connection nothing of ours is queued any more.
    if (connection_.lost()) connection_.close();
    if (!connection_.is_open()) {
      events().cancel_all();
      return {};
    }
    // spd_cancel, not spd_stop: stopping ends only the current message and the queue goes on.
    auto cancelled = connection_.command(deadline(), cancel);
    events().cancel_all();
    if (!cancelled) return fail(std::move(cancelled.error()));
    return {};
  }

  Result<bool> is_speaking() override {
    if (!events().speaking()) return false;
    if (!connection_.is_open()) {
      events().cancel_all();
      return false;
    }
    // Where the daemon's processes can be watched, the host judges stalls by their work: a ping
    // would say nothing about a frozen module, and forgetting speech that waits behind another
    // client's would drop it.
    if (connection_.watch().observable()) return events().speaking();
    auto now = Clock::now();
    if (now - events().last_activity() >= kQuietBeforePing &&
        now - last_ping_ >= kQuietBeforePing) {
      last_ping_ = now;
      if (!connection_.ping(deadline())) connection_.close();
    }
    // Asking the daemon to cancel could block forever here; forgetting is enough for the host.
    if (events().stalled(kQuietBeforeGivingUp)) events().cancel_all();
    return events().speaking();
  }

  std::optional<Clock::time_point> last_sign_of_life() override {
    auto busy = connection_.watch().busy_at(Clock::now());
    if (!connection_.watch().observable()) return std::nullopt;
    return std::max(events().last_activity(), busy.value_or(Clock::time_point{}));
  }

  Result<std::vector<Voice>> voices() override { return voices_.voices(); }
  Result<std::optional<std::vector<Voice>>> listed_voices() override { return voices_.listed(); }

  Result<void> set_voice(const Voice& voice) override {
    // The daemon accepts any name and then speaks with its default voice: check first.
    std::optional<std::vector<Voice>> known = voices_.listed();
    if (!known) {
      auto fresh = voices_.voices();
      if (!fresh) return fail(std::move(fresh.error()));
      known = std::move(*fresh);
    }
    auto same_id = [&voice](const Voice& v) { return v.id == voice.id; };
    auto found = std::find_if(known->begin(), known->end(), same_id);
    if (found == known->end()) return fail(Error(std::string(tts_error::kOperationFailed)));
    if (auto opened = connection_.ensure_open(); !opened) return fail(std::move(opened.error()));
    // A voice of another output module switches to that module for the utterances spoken with
    // it; the default module's voices switch back.
    if (!found->engine.empty() &&
        connection_.output_module().value_or(default_module(*known)) != found->engine) {
      auto switched = connection_.set_output_module(found->engine, deadline());
      if (!switched) return fail(std::move(switched.error()));
    }
    return connection_.set_voice(found->name, deadline());
  }

  Result<void> set_language(std::string_view tag) override {
    if (auto opened = connection_.ensure_open(); !opened) return fail(std::move(opened.error()));
    // The daemon picks a voice by language within the current module: back to the default one.
    if (connection_.output_module()) {
      std::optional<std::vector<Voice>> known = voices_.listed();
      const std::string module = known ? default_module(*known) : std::string();
      if (!module.empty() && *connection_.output_module() != module) {
        auto switched = connection_.set_output_module(module, deadline());
        if (!switched) return fail(std::move(switched.error()));
      }
    }
    return connection_.set_language(std::string(tag), deadline());
  }

  float min_rate() const override { return speechd::kMinRate; }
  float normal_rate() const override { return speechd::kNormalRate; }
  float max_rate() const override { return speechd::kMaxRate; }

  Result<void> set_rate(float rate) override {
    if (!(rate >= speechd::kMinRate && rate <= speechd::kMaxRate)) {
      return fail(Error(std::string(tts_error::kOutOfRange)));
    }
    if (auto opened = connection_.ensure_open(); !opened) return fail(std::move(opened.error()));
    // Setting the rate comes first when speech is configured: a new connection may have reached
    // a restarted daemon whose voices differ, and a voice that is gone would not be refused (the
    // daemon speaks any name with its default voice). Until a client lists again, the voice is
    // chosen by language.
    if (connection_.opened() != connections_seen_) {
      if (connections_seen_ != 0) voices_.forget();
      connections_seen_ = connection_.opened();
    }
    return connection_.set_rate(static_cast<int>(std::lround(rate)), deadline());
  }

 private:
  SpeechdTts() = default;

  speechd::EventTracker& events() { return connection_.events(); }

  // The daemon's default output module: the one whose voices keep their plain names as ids.
  static std::string default_module(const std::vector<Voice>& voices) {
    for (const Voice& v : voices) {
      if (v.id == v.name) return v.engine;
    }
    return {};
  }

  speechd::VoiceCache voices_;
  speechd::Connection connection_;
  Clock::time_point last_ping_{};  // when `is_speaking` last asked the daemon
  int connections_seen_ = 0;       // `connection_.opened()` when the rate was last set
};

}  // namespace

namespace speechd {
Result<std::unique_ptr<Tts>> create_tts() {
  return SpeechdTts::create();
}
}  // namespace speechd

}  // namespace mdspeak
