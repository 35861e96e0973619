// The platform's synthesizer backend lives in a module of its own (mdspeak-speechd.so on Linux,
// see common/module.h): its client library and glib are mapped at the first request that needs
// speech, not when the service starts. `create_default_tts` loads it; the module offers its
// factory under `kCreateTtsSymbol`.
#pragma once

#include <memory>

#include "common/error.h"
#include "speech/tts.h"

namespace mdspeak {

using CreateTts = Result<std::unique_ptr<Tts>> (*)();

// The name under which the module offers its factory (a `CreateTts` variable).
inline constexpr const char* kCreateTtsSymbol = "mdspeak_create_tts";

namespace speechd {
// The speech-dispatcher backend; defined in the module only.
Result<std::unique_ptr<Tts>> create_tts();
}  // namespace speechd

}  // namespace mdspeak
