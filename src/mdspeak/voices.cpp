#include "voices.h"

#include <array>
#include <cctype>
#include <functional>

namespace mdspeak::client {

namespace {

std::string folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string member(const nlohmann::json& voice, const char* key) {
  return voice.contains(key) && voice[key].is_string() ? voice[key].get<std::string>() : "";
}

std::string language_of(const std::string& locale) {
  return folded(locale.substr(0, locale.find_first_of("-_")));
}

std::string language_word(const std::string& code) {
  if (code == "en") return "english";
  if (code == "es") return "spanish";
  return "";
}

}  // namespace

std::optional<ChosenVoice> choose_voice(const nlohmann::json& voices, std::string_view asked) {
  if (!voices.is_array() || asked.empty()) return std::nullopt;
  const std::string want = folded(asked);
  using Test = std::function<bool(const nlohmann::json&)>;
  const std::array<Test, 6> tests = {
      [&](const nlohmann::json& v) { return member(v, "id") == asked; },
      [&](const nlohmann::json& v) { return folded(member(v, "id")) == want; },
      [&](const nlohmann::json& v) { return folded(member(v, "name")) == want; },
      [&](const nlohmann::json& v) { return folded(member(v, "locale")) == want; },
      [&](const nlohmann::json& v) { return language_of(member(v, "locale")) == want; },
      [&](const nlohmann::json& v) {
        return language_word(language_of(member(v, "locale"))) == want;
      },
  };
  for (std::size_t t = 0; t < tests.size(); ++t) {
    for (const auto& voice : voices) {
      if (!voice.is_object() || member(voice, "id").empty() || !tests[t](voice)) continue;
      return ChosenVoice{member(voice, "id"), member(voice, "name"), t == 0};
    }
  }
  return std::nullopt;
}

}  // namespace mdspeak::client
