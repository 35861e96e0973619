#include "speech/tts_module.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "common/module.h"

namespace mdspeak {
namespace {

constexpr std::string_view kModuleFile = "mdspeak-speechd.so";

// The backend's factory, loaded once and never unloaded.
Result<CreateTts> load_backend() {
  const auto places = module_places(kModuleFile);
  auto found = load_module_symbol(places, kCreateTtsSymbol);
  if (!found) {
    Error error("speech is not available: its module " + std::string(kModuleFile) +
                " could not be loaded (" + found.error().message + ")");
    // Clients are told only "failed to initialize system TTS", as when no daemon answers; a
    // broken install must still be found, so the reason goes to standard error, once.
    std::fprintf(stderr, "%s\n", error.message.c_str());
    return fail(std::move(error));
  }
  return *static_cast<const CreateTts*>(*found);
}

}  // namespace

Result<std::unique_ptr<Tts>> create_default_tts() {
  static const Result<CreateTts> factory = load_backend();
  if (!factory) return fail(factory.error());
  return (*factory)();
}

}  // namespace mdspeak
