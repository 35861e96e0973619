#include "pronunciations.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace mdspeak::client {
namespace {

// What the service accepts; checked here so that a bad line is reported by its number instead
// of the whole list being refused.
constexpr std::size_t kMaxEntries = 10'000;
constexpr std::size_t kMaxTextBytes = 200;

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A letter or digit: any non-ASCII byte counts, as the service's check for "a word" is wider.
bool has_word_character(std::string_view text) {
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80 || (b >= '0' && b <= '9') || ((b | 0x20) >= 'a' && (b | 0x20) <= 'z')) {
      return true;
    }
  }
  return false;
}

}  // namespace

PronunciationFile parse_pronunciations(std::string_view content) {
  PronunciationFile file;
  std::optional<std::string> language;
  std::size_t number = 0;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    const std::string_view bare = trim(line);
    if (bare.empty() || bare.front() == '#') continue;
    if (bare.front() == '[') {
      if (bare == "[en]" || bare == "[es]") {
        language = std::string(bare.substr(1, 2));
      } else if (bare == "[*]") {
        language.reset();
      } else {
        file.problems.push_back(where + "unknown section " + std::string(bare) +
                                " (use [en], [es] or [*])");
      }
      continue;
    }
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
      file.problems.push_back(where + "no tab between the word and what to say");
      continue;
    }
    const std::string_view text = trim(line.substr(0, tab));
    const std::string_view say = trim(line.substr(tab + 1));
    if (text.empty() || !has_word_character(text)) {
      file.problems.push_back(where + "no word before the tab");
    } else if (text.size() > kMaxTextBytes) {
      file.problems.push_back(where + "the word is longer than " + std::to_string(kMaxTextBytes) +
                              " bytes");
    } else if (say.empty()) {
      file.problems.push_back(where + "nothing to say after the tab");
    } else if (file.entries.size() >= kMaxEntries) {
      file.problems.push_back(where + "more than " + std::to_string(kMaxEntries) + " entries");
    } else {
      file.entries.push_back({std::string(text), std::string(say), language});
    }
  }
  return file;
}

std::optional<std::filesystem::path> default_pronunciations_path() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  // As the XDG base directories have it: a relative value is to be ignored.
  if (config != nullptr && config[0] == '/') {
    return std::filesystem::path(config) / "mdspeak" / "pronunciations";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return std::nullopt;
  return std::filesystem::path(home) / ".config" / "mdspeak" / "pronunciations";
}

std::optional<nlohmann::json> pronunciations_request(const std::optional<std::string>& given) {
  std::optional<std::filesystem::path> path;
  if (given) {
    path = *given;
  } else {
    path = default_pronunciations_path();
    std::error_code error;
    if (!path || !std::filesystem::exists(*path, error)) return std::nullopt;
  }
  std::ifstream in(*path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in) {
    std::fprintf(stderr, "mdspeak: %s: cannot be read; words are said as written\n", path->c_str());
    return std::nullopt;
  }
  const PronunciationFile file = parse_pronunciations(content.str());
  for (const std::string& problem : file.problems) {
    std::fprintf(stderr, "mdspeak: %s: %s (skipped)\n", path->c_str(), problem.c_str());
  }
  nlohmann::json entries = nlohmann::json::array();
  for (const PronunciationEntry& entry : file.entries) {
    nlohmann::json item = {{"text", entry.text}, {"say", entry.say}};
    item["language"] = entry.language ? nlohmann::json(*entry.language) : nlohmann::json(nullptr);
    entries.push_back(std::move(item));
  }
  return nlohmann::json{
      {"type", "set_pronunciations"}, {"id", "pronunciations"}, {"entries", std::move(entries)}};
}

}  // namespace mdspeak::client
