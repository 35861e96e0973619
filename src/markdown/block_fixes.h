// Where md4c's block structure differs from GFM's, and what to insert into the text md4c reads
// so that it agrees (the walker maps positions back through the insertions):
// - GFM ends a table at a blank line or at the start of another block (a code fence, an ATX
//   heading, a block quote, a thematic break, an HTML block, a list item); md4c takes every
//   non-blank line after a table as one more row. A line holding only the table's container
//   prefix (blank inside its block quotes and list items) goes before such a block.
// - md4c misses HTML blocks that open with some of CommonMark's block tags (those whose name
//   extends a shorter one: `header`, `thead`, `link`, `track`, `colgroup`...); a `<p>`, which it
//   does know, goes before each of those, which changes nothing else.
// Indented code is left alone, and so is the inside of fenced code and of HTML blocks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mdspeak::markdown {

// Text to insert before source position `at`.
struct BlockFix {
  std::size_t at = 0;
  std::string text;
};

// Every fix for `source` from `from` on, in source order; one pass over the lines.
std::vector<BlockFix> find_block_fixes(std::string_view source, std::size_t from);

// Whether `line` (one line without its line end, container prefix removed) starts a block that
// ends a table: fence, ATX heading, thematic break, HTML block start (kinds 1 to 6), list item.
// Block quotes are told by their marker in the prefix.
bool starts_table_ending_block(std::string_view line);

// Whether `line` (as above) opens an HTML block that ends at a blank line (kind 6: a block tag).
bool starts_block_tag(std::string_view line);

}  // namespace mdspeak::markdown
