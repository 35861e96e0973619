// `--voice` as a person types it, matched against the service's voice list.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace mdspeak::client {

struct ChosenVoice {
  std::string id;
  std::string name;
  bool exact = false;  // the id as asked; otherwise worth a word to the person
};

// The voice `asked` names, from the "voices" array of a list_voices_result (in the service's
// order, best first): an id, then case-insensitively an id, a name, a locale ("es-ES", "es_ES"),
// a language code ("es") or an English language name ("spanish"). Nothing when none matches.
std::optional<ChosenVoice> choose_voice(const nlohmann::json& voices, std::string_view asked);

}  // namespace mdspeak::client
