// Locating pieces of Markdown syntax in the source, for what the parser reports without a
// position: front matter, code-span fences, the line end behind a line break and the whole line
// of a table row. Every function takes the complete source and never reads outside it.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "markdown/markdown.h"

namespace mdspeak::markdown {

// Bytes taken by a front-matter block at the very start of `source` (its closing fence line and
// that line's end included), or 0 when the source does not start with one. A block opens with a
// first line of exactly `---` or `+++` (trailing blanks allowed) that is not followed by a blank
// line, and closes with a line of `---` or `...` (for `---`) or `+++` (for `+++`). Without a
// closing line there is no block.
std::size_t front_matter_length(std::string_view source);

// 3 when `source` starts with a UTF-8 byte order mark (which some editors write first), else 0.
// The mark is not a character of the text: the first line starts after it.
std::size_t byte_order_mark_length(std::string_view source);

// Bytes at the start of `source` that are never read as Markdown: a byte order mark, then front
// matter.
std::size_t unread_prefix_length(std::string_view source);

// The span of an inline code span, its backtick fences included, given where its content lies.
// Only white space and block-quote markers may stand between a fence and the content.
SourceSpan code_span_range(std::string_view source, std::size_t content_start,
                           std::size_t content_end);

// The span of a code span whose content is empty, searching from `from` for its opening fence.
std::optional<SourceSpan> empty_code_span_range(std::string_view source, std::size_t from);

// The line end that a line break stands for: the last line end before `next_content` (the next
// positioned content after the break, if any) and not before `after` (where the content before
// the break ended); without a next content, the first line end from `after`. The spaces before
// the line end belong to a hard break, and so does its backslash; a soft break is its line end.
SourceSpan break_range(std::string_view source, std::size_t after,
                       std::optional<std::size_t> next_content, bool hard);

// The span of the table row whose line holds `content` (a position inside cell `cell_index`,
// counted from 0): from the row's leading pipe, or from its first cell when it has none, to just
// past the line end.
SourceSpan table_row_range(std::string_view source, std::size_t content, std::size_t cell_index);

}  // namespace mdspeak::markdown
