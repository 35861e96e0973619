// Where each file was left: read, updated and written back as a whole, so that a reader that
// quits in the middle continues there next time. The pure parts (parse, update, serialise,
// finding the place again in an edited file) are apart from the file access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "text.h"
#include "utterances.h"

namespace mdspeak::client {

constexpr std::size_t kRememberedFiles = 200;

struct SavedPosition {
  std::string path;          // absolute
  std::string digest;        // of the file's content when the position was taken
  std::uint64_t offset = 0;  // source byte where the utterance to continue with starts
  Position at;               // of `offset`, for the question
  std::string heading;       // text of the heading it sits under ("" before any)
  std::uint64_t heading_offset = 0;
};

// The content digest: 64-bit FNV-1a in hex. Not secret, only "has this file changed".
std::string content_digest(std::string_view content);

// Most recent first. A text that is not a positions file is an error (the caller warns and goes
// on without); entries with missing or wrong members are dropped.
Result<std::vector<SavedPosition>> parse_positions(std::string_view text);
std::string serialise_positions(const std::vector<SavedPosition>& entries);
// `entry` first, replacing any for the same path; at most `limit` entries kept.
std::vector<SavedPosition> remember(std::vector<SavedPosition> entries, SavedPosition entry,
                                    std::size_t limit = kRememberedFiles);
std::vector<SavedPosition> forget(std::vector<SavedPosition> entries, const std::string& path);
const SavedPosition* find_saved(const std::vector<SavedPosition>& entries, const std::string& path);

// In a file changed since: the heading with the same text nearest the old heading's offset.
std::optional<std::size_t> find_heading_again(const std::vector<PlacedUtterance>& list,
                                              const SavedPosition& saved);

// $XDG_STATE_HOME/mdspeak/positions, ~/.local/state/mdspeak/positions without it; nothing
// when neither variable says where.
std::optional<std::filesystem::path> positions_path();
// A missing file is an empty list.
Result<std::vector<SavedPosition>> load_positions(const std::filesystem::path& path);
// Through a temporary file renamed over the old one: a crash leaves either file whole.
Result<void> store_positions(const std::filesystem::path& path,
                             const std::vector<SavedPosition>& entries);

}  // namespace mdspeak::client
