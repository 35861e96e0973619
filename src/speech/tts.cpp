#include "speech/tts.h"

namespace mdspeak {

std::string feature_text(const Features& features) {
  auto flag = [](bool on) { return on ? "true" : "false"; };
  std::string text = "Features { is_speaking: ";
  text += flag(features.is_speaking);
  text += ", pitch: ";
  text += flag(features.pitch);
  text += ", rate: ";
  text += flag(features.rate);
  text += ", stop: ";
  text += flag(features.stop);
  text += ", utterance_callbacks: ";
  text += flag(features.utterance_callbacks);
  text += ", voice: ";
  text += flag(features.voice);
  text += ", get_voice: ";
  text += flag(features.get_voice);
  text += ", volume: ";
  text += flag(features.volume);
  text += " }";
  return text;
}

}  // namespace mdspeak
