#include "speech/tts.h"

#include <utility>

namespace mdspeak {

std::string feature_text(const Features& features) {
  const std::pair<const char*, bool> flags[] = {
      {"is_speaking", features.is_speaking},
      {"pitch", features.pitch},
      {"rate", features.rate},
      {"stop", features.stop},
      {"utterance_callbacks", features.utterance_callbacks},
      {"voice", features.voice},
      {"get_voice", features.get_voice},
      {"volume", features.volume},
  };
  std::string text = "Features {";
  const char* separator = " ";
  for (const auto& [name, on] : flags) {
    text += separator;
    text += name;
    text += ": ";
    text += on ? "true" : "false";
    separator = ", ";
  }
  text += " }";
  return text;
}

}  // namespace mdspeak
