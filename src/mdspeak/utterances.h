// The utterances the service prepared, with what the reader derives from them: source
// positions, the heading each sits under, navigation, and the lines printed for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/error.h"
#include "text.h"

namespace mdspeak::client {

// One entry of a prepared list as the service sent it, placed in the source by line and column;
// named apart from the service's `Utterance` and the protocol's `PreparedUtterance`.
struct PlacedUtterance {
  std::string text;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::string kind;
  Position from;                       // of `start`
  Position to;                         // of `end` (exclusive, like the byte range)
  std::optional<std::size_t> heading;  // index of the heading it sits under (itself for one)
};

// From the "utterances" array of a prepare_speech_result or prepare_summary_result.
Result<std::vector<PlacedUtterance>> utterances_from_json(const nlohmann::json& array,
                                                          const LineIndex& lines);

// `--print`: "index kind line:col-line:col text", the index right-aligned for `count` entries.
std::string print_line(std::size_t index, const PlacedUtterance& u, std::size_t count);
// Output that is not a terminal: "line:col kind text".
std::string plain_line(const PlacedUtterance& u);

std::optional<std::size_t> next_heading(const std::vector<PlacedUtterance>& list,
                                        std::size_t current);
std::optional<std::size_t> previous_heading(const std::vector<PlacedUtterance>& list,
                                            std::size_t current);

// A request can only name source ranges, and the sentences of one paragraph share its range, so
// the reader moves by blocks: runs of utterances with the same range.
std::size_t block_start(const std::vector<PlacedUtterance>& list, std::size_t index);
std::optional<std::size_t> next_block(const std::vector<PlacedUtterance>& list,
                                      std::size_t current);
// The start of the current block, or of the previous one when `current` starts its block.
std::optional<std::size_t> previous_block(const std::vector<PlacedUtterance>& list,
                                          std::size_t current);
// The first utterance that a request starting at source `offset` selects (its range ends after
// the offset), which the request's utterance 0 is.
std::size_t first_selected(const std::vector<PlacedUtterance>& list, std::uint64_t offset);

// The list index of an event's utterance. A speak request that started at list index `base`
// numbers its utterances from 0; the offsets confirm the match (a range can select an earlier,
// overlapping utterance too), else the first utterance from `base` on with the same range.
std::size_t locate(const std::vector<PlacedUtterance>& list, std::size_t base,
                   std::uint64_t event_index, std::uint64_t start, std::uint64_t end);

// The level (1 to 6) of heading `u` in `source`: its run of '#', or its setext underline ('='
// is 1); 1 when neither is found.
int heading_level(std::string_view source, const PlacedUtterance& u);
// What `w` says for the utterance at `index`: the headings it sits under, outermost first, and
// the share of the text before it ("Section Notes, Install; 62 percent."). Markdown punctuation
// in the headings is escaped, as the words are loaded as a document of their own.
std::string where_words(const std::vector<PlacedUtterance>& list, std::size_t index,
                        std::string_view source);

}  // namespace mdspeak::client
