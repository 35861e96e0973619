// The speech engine on the scripted fake synthesizer with the receiving end of its event channel:
// the one fixture under the engine's, the voice selection's and the host's tests.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "common/channel.h"
#include "speech/speech_engine.h"
#include "support/fake_tts.h"

namespace mdspeak {

inline const Voice kFixtureEnglish{"en-voice", "English", std::nullopt, "en-US"};

struct FakeEngine {
  std::shared_ptr<FakeTts> fake = std::make_shared<FakeTts>();
  std::optional<Receiver<SpeechEvent>> events;
  std::optional<SpeechEngine> engine;

  // Creates the engine on the fake as programmed so far. Its events go to a channel on `wakeup`
  // (the host's main loop shares one wakeup between requests and events).
  Result<void> start(std::shared_ptr<Wakeup> wakeup = std::make_shared<Wakeup>()) {
    auto [sender, receiver] = make_channel<SpeechEvent>(std::move(wakeup));
    events.emplace(std::move(receiver));
    auto created = SpeechEngine::create(fake->facade(), std::move(sender));
    if (!created) return fail(std::move(created.error()));
    engine.emplace(std::move(*created));
    return {};
  }
};

}  // namespace mdspeak
