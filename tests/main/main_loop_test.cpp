// The main loop in-process: requests in over the channel, answers and speech events out, the
// synthesizer stepped by the test through the scripted fake.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "main/host.h"
#include "support/fake_engine.h"

namespace mdspeak {
namespace {

using namespace std::chrono_literals;

const char* const kThreeParagraphs = "Alpha one.\n\nBravo two.\n\nCharlie three.\n";

class Loop {
 public:
  explicit Loop(bool with_engine = true) {
    auto wakeup = std::make_shared<Wakeup>();
    auto [rtx, rrx] = make_channel<Request>(wakeup);
    requests_.emplace(std::move(rtx));
    FakeEngine rig;
    fake = rig.fake;
    std::optional<std::string> failure;
    if (with_engine) {
      fake->set_voices({kFixtureEnglish});
      EXPECT_TRUE(rig.start(wakeup));
    } else {
      failure = "failed to initialize system TTS";
      rig.events.emplace(make_channel<SpeechEvent>(wakeup).second);
    }
    thread_ = std::thread([this, rrx = std::move(rrx), erx = std::move(*rig.events),
                           engine = std::move(rig.engine), failure]() mutable {
      AppState state(std::move(engine), failure);
      result_ = run_main_loop(rrx, erx, state, [this](std::string_view line) -> Result<void> {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line.substr(0, line.size() - 1));
        cv_.notify_all();
        return {};
      });
      std::lock_guard lock(mutex_);
      finished_ = true;
      cv_.notify_all();
    });
  }
  ~Loop() {
    close_input();
    if (thread_.joinable()) {
      fake->finish_all();
      thread_.join();
    }
  }

  void send(Request request) { requests_->send(std::move(request)); }
  void close_input() { requests_.reset(); }

  // The next line written, waiting for it.
  std::string next() {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, 10s, [&] { return !lines_.empty(); })) return "<timeout>";
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }
  bool quiet_for(std::chrono::milliseconds time) {
    std::unique_lock lock(mutex_);
    return !cv_.wait_for(lock, time, [&] { return !lines_.empty(); });
  }
  bool wait_finished(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return finished_; });
  }

  std::shared_ptr<FakeTts> fake;

 private:
  std::optional<Sender<Request>> requests_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  bool finished_ = false;
  Result<void> result_;
};

std::string begin(int index, int start, int end, const std::string& text) {
  return "{\"type\":\"utterance_begin\",\"document_id\":\"doc\",\"utterance_index\":" +
         std::to_string(index) + ",\"start_offset\":" + std::to_string(start) +
         ",\"end_offset\":" + std::to_string(end) + ",\"text\":\"" + text + "\"}";
}
std::string end(int index, int start, int end_offset, const std::string& text) {
  std::string b = begin(index, start, end_offset, text);
  return b.replace(b.find("utterance_begin"), 15, "utterance_end");
}

void load_and_speak(Loop& loop) {
  loop.send(LoadDocument{"1", "doc", kThreeParagraphs});
  EXPECT_EQ(loop.next(),
            R"({"type":"load_document_result","id":"1","document_id":"doc","utterance_count":3})");
  loop.send(Speak{"2", "doc", {}, {}, {}, 1.0f});
  EXPECT_EQ(loop.next(), R"({"type":"speak_result","id":"2","document_id":"doc","queued":3})");
}

TEST(MainLoopTest, BeginAndEndOfEveryUtteranceInOrder) {
  Loop loop;
  load_and_speak(loop);
  loop.fake->deliver_on_other_thread(true);
  EXPECT_EQ(loop.fake->finish(3, 5s), 3u);
  EXPECT_EQ(loop.next(), begin(0, 0, 10, "Alpha one."));
  EXPECT_EQ(loop.next(), end(0, 0, 10, "Alpha one."));
  EXPECT_EQ(loop.next(), begin(1, 12, 22, "Bravo two."));
  EXPECT_EQ(loop.next(), end(1, 12, 22, "Bravo two."));
  EXPECT_EQ(loop.next(), begin(2, 24, 38, "Charlie three."));
  EXPECT_EQ(loop.next(), end(2, 24, 38, "Charlie three."));
}

TEST(MainLoopTest, StopInTheSecondUtteranceSilencesTheRest) {
  Loop loop;
  load_and_speak(loop);
  loop.fake->begin_next();
  loop.fake->end_current();
  loop.fake->begin_next();
  EXPECT_EQ(loop.next(), begin(0, 0, 10, "Alpha one."));
  EXPECT_EQ(loop.next(), end(0, 0, 10, "Alpha one."));
  EXPECT_EQ(loop.next(), begin(1, 12, 22, "Bravo two."));
  loop.send(Stop{"3"});
  EXPECT_EQ(loop.next(), R"({"type":"stop_result","id":"3"})");
  EXPECT_EQ(loop.fake->finish_all(), 0u);
  EXPECT_TRUE(loop.quiet_for(100ms));
}

TEST(MainLoopTest, SecondSpeakRestartsIndexesAndDropsTheFirstsEvents) {
  Loop loop;
  load_and_speak(loop);
  loop.fake->begin_next();
  EXPECT_EQ(loop.next(), begin(0, 0, 10, "Alpha one."));
  loop.send(Speak{"3", "doc", 12, {}, {}, 1.0f});
  EXPECT_EQ(loop.next(), R"({"type":"speak_result","id":"3","document_id":"doc","queued":2})");
  loop.fake->finish_all();
  EXPECT_EQ(loop.next(), begin(0, 12, 22, "Bravo two."));
  EXPECT_EQ(loop.next(), end(0, 12, 22, "Bravo two."));
  EXPECT_EQ(loop.next(), begin(1, 24, 38, "Charlie three."));
}

// The client asked for silence: input closing while paused ends the service without the rest.
TEST(MainLoopTest, InputClosingWhilePausedExitsWithoutSpeakingTheRest) {
  Loop loop;
  load_and_speak(loop);
  loop.fake->begin_next();
  EXPECT_EQ(loop.next(), begin(0, 0, 10, "Alpha one."));
  loop.send(Pause{"p"});
  EXPECT_EQ(loop.next(), R"({"type":"pause_result","id":"p","paused":true})");
  loop.close_input();
  EXPECT_TRUE(loop.wait_finished(5s));
  EXPECT_EQ(loop.fake->queued().size(), 2u);  // nothing handed over after the pause
  EXPECT_FALSE(loop.fake->speaking());
  EXPECT_TRUE(loop.quiet_for(50ms));
}

TEST(MainLoopTest, DrainsSpeechAfterInputCloses) {
  Loop loop;
  load_and_speak(loop);
  loop.close_input();
  EXPECT_FALSE(loop.wait_finished(100ms));  // still speaking: the loop waits
  loop.fake->deliver_on_other_thread(true);
  EXPECT_EQ(loop.fake->finish(3, 5s), 3u);
  EXPECT_EQ(loop.next(), begin(0, 0, 10, "Alpha one."));
  for (int i = 0; i < 5; ++i) EXPECT_NE(loop.next(), "<timeout>");
  EXPECT_TRUE(loop.wait_finished(5s));
}

// A synthesizer whose last utterances end while the host asks whether it is still speaking: the
// end notifications are sent first, then the answer turns false.
class EndsWhileAskedTts : public Tts {
 public:
  Features supported_features() const override {
    return Features{.is_speaking = true,
                    .rate = true,
                    .stop = true,
                    .utterance_callbacks = true,
                    .voice = true};
  }
  Result<void> on_utterance_begin(UtteranceCallback c) override {
    begin_ = std::move(c);
    return {};
  }
  Result<void> on_utterance_end(UtteranceCallback c) override {
    end_ = std::move(c);
    return {};
  }
  Result<std::optional<UtteranceId>> speak(std::string_view, bool) override {
    queued_.emplace_back("Ends(" + std::to_string(queued_.size() + 1) + ")");
    return std::optional<UtteranceId>(queued_.back());
  }
  Result<void> stop() override { return {}; }
  Result<bool> is_speaking() override {
    for (const UtteranceId& id : queued_) {
      begin_(id);
      end_(id);
    }
    queued_.clear();
    return false;
  }
  Result<std::vector<Voice>> voices() override {
    return std::vector<Voice>{{"v", "V", std::nullopt, "en-US"}};
  }
  Result<void> set_voice(const Voice&) override { return {}; }
  float min_rate() const override { return 0.1f; }
  float normal_rate() const override { return 0.5f; }
  float max_rate() const override { return 2.0f; }
  Result<void> set_rate(float) override { return {}; }

 private:
  UtteranceCallback begin_, end_;
  std::vector<UtteranceId> queued_;
};

TEST(MainLoopTest, EventsSentJustBeforeSpeechEndsAreStillForwarded) {
  auto wakeup = std::make_shared<Wakeup>();
  auto [request_tx, request_rx] = make_channel<Request>(wakeup);
  auto [event_tx, event_rx] = make_channel<SpeechEvent>(wakeup);
  auto engine = SpeechEngine::create(std::make_unique<EndsWhileAskedTts>(), std::move(event_tx));
  ASSERT_TRUE(engine.has_value());
  AppState state(std::move(*engine), std::nullopt);
  request_tx.send(LoadDocument{"1", "doc", kThreeParagraphs});
  request_tx.send(Speak{"2", "doc", {}, {}, {}, 1.0f});
  { auto closed = std::move(request_tx); }
  std::vector<std::string> lines;
  auto result = run_main_loop(request_rx, event_rx, state, [&](std::string_view line) {
    lines.emplace_back(line.substr(0, line.size() - 1));
    return Result<void>();
  });
  ASSERT_TRUE(result.has_value());
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[2], begin(0, 0, 10, "Alpha one."));
  EXPECT_EQ(lines[7], end(2, 24, 38, "Charlie three."));
}

TEST(MainLoopTest, InitDescribesTheBackend) {
  {
    Loop loop;
    loop.send(Init{"i"});
    EXPECT_EQ(
        loop.next(),
        R"json({"type":"init_result","id":"i","available":true,"backend":"system-tts (Features { is_speaking: true, pitch: true, rate: true, stop: true, utterance_callbacks: true, voice: true, get_voice: false, volume: true })","message":null})json");
  }
  {
    Loop loop(false);
    loop.send(Init{"i"});
    EXPECT_EQ(loop.next(),
              R"({"type":"backend_unavailable","message":"failed to initialize system TTS"})");
    EXPECT_EQ(
        loop.next(),
        R"({"type":"init_result","id":"i","available":false,"backend":"system-tts","message":"failed to initialize system TTS"})");
    loop.close_input();
    EXPECT_TRUE(loop.wait_finished(5s));
  }
}

TEST(MainLoopTest, ListVoicesAndStopFailuresBecomeErrorResults) {
  Loop loop;
  loop.fake->fail_always(FakeOp::Voices);
  loop.fake->fail_always(FakeOp::Stop);
  loop.send(ListVoices{"v"});
  EXPECT_EQ(
      loop.next(),
      R"({"type":"error_result","id":"v","code":"list_voices_failed","message":"failed to enumerate system voices"})");
  loop.send(Stop{"s"});
  EXPECT_EQ(
      loop.next(),
      R"({"type":"error_result","id":"s","code":"stop_failed","message":"failed to stop speech"})");
}

}  // namespace
}  // namespace mdspeak
