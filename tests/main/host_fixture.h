// The host's state on the scripted fake synthesizer: the fake, the event channel's receiving end
// and an `AppState` whose engine drives the fake.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "main/app_state.h"
#include "support/fake_tts.h"

namespace mdspeak {

inline const Voice kFixtureEnglish{"en-voice", "English", std::nullopt, "en-US"};

struct FakeHost {
  std::shared_ptr<FakeTts> fake;
  Receiver<SpeechEvent> events;
  AppState state;

  static FakeHost create() {
    auto fake = std::make_shared<FakeTts>();
    fake->set_voices({kFixtureEnglish});
    auto [tx, rx] = make_channel<SpeechEvent>();
    auto engine = SpeechEngine::create(fake->facade(), std::move(tx));
    EXPECT_TRUE(engine.has_value());
    return FakeHost{fake, std::move(rx), AppState(std::move(*engine), std::nullopt)};
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
