// The user's pronunciation file, sent to the service after `init`.
//
// One entry per line: the word or words as written, a tab, what to say instead. `[en]` and
// `[es]` on a line of their own make the entries after them apply to that language only (`[*]`
// to both again, as at the start); `#` starts a comment line; blank lines are skipped. A line
// that cannot be an entry is reported with its number and skipped, so that one typo does not
// cost the rest of the list.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace mdspeak::client {

struct PronunciationEntry {
  std::string text;
  std::string say;
  std::optional<std::string> language;  // "en", "es"; none for both
  bool operator==(const PronunciationEntry&) const = default;
};

struct PronunciationFile {
  std::vector<PronunciationEntry> entries;
  std::vector<std::string> problems;  // "line 3: no tab between the word and what to say"
};

PronunciationFile parse_pronunciations(std::string_view content);

// $XDG_CONFIG_HOME/mdspeak/pronunciations, else ~/.config/mdspeak/pronunciations.
std::optional<std::filesystem::path> default_pronunciations_path();

// The `set_pronunciations` request for the file `--pronunciations` names, or else the default
// file when there is one; problems go to standard error as "mdspeak: FILE: line N: ...". Nothing
// when there is no file to send.
std::optional<nlohmann::json> pronunciations_request(const std::optional<std::string>& given);

}  // namespace mdspeak::client
