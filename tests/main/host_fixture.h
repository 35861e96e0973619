// The host's state on the shared fake engine: the fake, the event channel's receiving end and an
// `AppState` whose engine drives the fake.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "main/app_state.h"
#include "support/fake_engine.h"

namespace mdspeak {

struct FakeHost {
  std::shared_ptr<FakeTts> fake;
  Receiver<SpeechEvent> events;
  AppState state;

  static FakeHost create() {
    FakeEngine rig;
    rig.fake->set_voices({kFixtureEnglish});
    EXPECT_TRUE(rig.start());
    return FakeHost{rig.fake, std::move(*rig.events),
                    AppState(std::move(rig.engine), std::nullopt)};
  }

  // The messages of the events sent so far, as the main loop would write them.
  std::vector<Message> take_messages() {
    std::vector<Message> out;
    std::optional<SpeechEvent> event;
    while (events.try_recv(event) == TryRecv::Value) {
      if (auto message = state.on_event(*event)) out.push_back(std::move(*message));
      event.reset();
    }
    return out;
  }

  // One answer to one request.
  Message answer(Request request) {
    auto answers = state.handle(std::move(request));
    EXPECT_EQ(answers.size(), 1u);
    return answers.empty() ? Message(StopResult{}) : std::move(answers.front());
  }
};

}  // namespace mdspeak
