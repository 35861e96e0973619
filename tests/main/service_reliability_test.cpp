// The real binary on the real speech stack when its surroundings misbehave: standard streams
// closed at start, signals while it speaks.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "live_sound.h"
#include "service_process.h"

namespace mdspeak::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
const std::string kLongDocument =
    "This paragraph is long enough to keep the synthesizer busy for several seconds while the "
    "test does its work.\n\nA second paragraph follows.\n\nAnd a third one after that.\n";

std::string line(const json& request) {
  return request.dump() + "\n";
}

// The speech daemon's socket must not become our stdin or stdout.
TEST(ServiceReliabilityTest, ClosedStandardStreamsAtStart) {
  {
    ServiceProcess service({}, 0);
    EXPECT_EQ(service.wait(10s), 0);
    EXPECT_FALSE(service.read_line(100ms).has_value());
  }
  {
    ServiceProcess service({}, 1);
    service.write(line({{"type", "init"}, {"id", "1"}}));
    service.close_stdin();
    EXPECT_EQ(service.wait(10s), 1);
    const std::string err = service.read_stderr();
    EXPECT_EQ(err.rfind("Error: failed to write to standard output", 0), 0u) << err;
  }
}

// Ctrl-C, kill and a hang-up end the service's speech with it.
TEST(ServiceReliabilityTest, StopSignalsCancelSpeechAndExit) {
  SinkRecorder recorder;
  const bool recording = start_recording(recorder);
  struct Case {
    int signal;
    int status;
  };
  for (const Case c : {Case{SIGTERM, 143}, Case{SIGINT, 130}, Case{SIGHUP, 129}}) {
    SCOPED_TRACE(c.signal);
    ServiceProcess service;
    service.write(line(
        {{"type", "load_document"}, {"id", "1"}, {"document_id", "d"}, {"text", kLongDocument}}));
    service.write(line({{"type", "speak"}, {"id", "2"}, {"document_id", "d"}, {"rate", 1.0}}));
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(service.read_line().has_value());  // up to the begin
    service.send_signal(c.signal);
    EXPECT_EQ(service.wait(5s), c.status);
    const auto gone = Clock::now();
    if (recording && c.signal == SIGTERM) {
      std::this_thread::sleep_for(1500ms);
      EXPECT_LT(recorder.rms_between(gone + 1s, Clock::now()), kAudible);
    }
  }
}

}  // namespace
}  // namespace mdspeak::testing
