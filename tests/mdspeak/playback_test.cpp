// The playback phases: a move the table does not list leaves the phase as it was, so a late
// answer or a key pressed while quitting cannot revive a reading that is ending.
#include "playback.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

namespace mdspeak::client {
namespace {

using Phase = Playback::Phase;

TEST(Playback, MovesOutsideTheTableChangeNothing) {
  const auto soon = Playback::Clock::now();
  using Step = std::function<bool(Playback&)>;
  const Step speak = [](Playback& p) { return p.speak(); };
  const Step pause = [&](Playback& p) { return p.pause(soon, false); };
  const Step paused = [](Playback& p) { return p.paused(true); };
  const Step failed = [](Playback& p) { return p.pause_failed(); };
  const Step resume = [](Playback& p) { return p.resume(); };
  const Step finish = [](Playback& p) { return p.finish(); };
  const Step stop = [&](Playback& p) { return p.stop(130, soon); };
  const Step stopped = [](Playback& p) { return p.stopped_for_pause(); };
  struct Case {
    const char* name;
    std::vector<Step> before;  // all accepted
    Step move;
    bool accepted;
    Phase after;
  } cases[] = {
      {"pause before speaking", {}, pause, false, Phase::kStarting},
      {"finish before speaking", {}, finish, false, Phase::kStarting},
      {"pause answered", {speak, pause}, paused, true, Phase::kPaused},
      {"pause refused: speaking again", {speak, pause}, failed, true, Phase::kSpeaking},
      {"pause without the service's: stopped", {speak}, stopped, true, Phase::kPaused},
      {"a pause answer while speaking", {speak}, paused, false, Phase::kSpeaking},
      {"resume while speaking", {speak}, resume, false, Phase::kSpeaking},
      {"a jump while paused speaks", {speak, pause, paused}, speak, true, Phase::kSpeaking},
      {"a late pause answer after a jump", {speak, pause, speak}, paused, false, Phase::kSpeaking},
      {"speech after quitting", {speak, stop}, speak, false, Phase::kStopping},
      {"quitting twice", {speak, stop}, stop, false, Phase::kStopping},
      {"speech after the end", {speak, finish}, speak, false, Phase::kDone},
      {"quit after the end", {speak, finish}, stop, false, Phase::kDone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Playback playback;
    for (const Step& step : c.before) ASSERT_TRUE(step(playback));
    EXPECT_EQ(c.move(playback), c.accepted);
    EXPECT_EQ(playback.phase(), c.after);
  }
}

TEST(Playback, OnlySpeakingTimeCounts) {
  Playback playback;
  playback.speak();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  playback.pause(Playback::Clock::now(), false);
  playback.paused(true);
  const double at_pause = playback.elapsed(Playback::Clock::now());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_GE(at_pause, 0.03);
  EXPECT_EQ(playback.elapsed(Playback::Clock::now()), at_pause);
}

}  // namespace
}  // namespace mdspeak::client
