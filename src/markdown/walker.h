// The open blocks whose text the Markdown walker is gathering, and how a piece of text joins one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "markdown/markdown.h"
#include "markdown/source_map.h"

namespace mdspeak::markdown {

// The first five match `UtteranceKind`.
enum class ContextKind : std::uint8_t { Heading, Paragraph, Item, BlockQuote, TableRow, TableCell };

constexpr bool same_kind(ContextKind c, UtteranceKind u) {
  return static_cast<int>(c) == static_cast<int>(u);
}
static_assert(same_kind(ContextKind::Heading, UtteranceKind::Heading) &&
              same_kind(ContextKind::Paragraph, UtteranceKind::Paragraph) &&
              same_kind(ContextKind::Item, UtteranceKind::Item) &&
              same_kind(ContextKind::BlockQuote, UtteranceKind::BlockQuote) &&
              same_kind(ContextKind::TableRow, UtteranceKind::TableRow));

enum class TaskState : std::uint8_t { Unchecked, Checked, None };

struct Context {
  ContextKind kind = ContextKind::Paragraph;
  TaskState task = TaskState::None;  // list items only
  bool header = false;               // table rows only: the header row
  std::string text;                  // table rows: the cleaned, non-empty cells joined
  Segments segments;                 // where the bytes of `text` came from
  std::optional<SourceSpan> range;   // the source span gathered so far

  // Table rows: the first position of content seen in the row and the cell it was in, from
  // which the row's whole line is found.
  std::size_t first_content = std::string_view::npos;
  std::size_t first_content_cell = 0;
  std::size_t cell_count = 0;

  // Natural reading: where the last piece's source ended, whether white space stood after it,
  // and whether part of the block's text was already spoken (a list item's task prefix is said
  // once, before its first part).
  std::size_t last_source_end = std::string_view::npos;
  bool space_pending = false;
  bool spoken_before = false;
};

// Adds a piece of text read from `range` of the source. The piece's line feeds become spaces and
// its ends are trimmed; a space joins it to the text unless the text is empty or ends in a space,
// or the piece starts with one of `!,.:;?`. The range widens even when nothing is added. Table
// rows take no text. A piece without a range (the parser gave no position) only adds its text.
// `segments` map the piece's bytes, with text positions counted from `segments_base`.
void append_text(Context& context, std::string_view piece, std::optional<SourceSpan> range,
                 std::span<const MapSegment> segments = {}, std::size_t segments_base = 0);

// How a piece of the natural reading joins the text before it: by the source's own white space
// (`Auto`), or always or never with a space (words the reading adds).
enum class Join : std::uint8_t { Auto, Space, Glued };

// `append_text` for the natural reading: a space joins the piece where the source (`source`, the
// text md4c read) has white space between the last piece and this one, or at their ends; never
// otherwise, so inline code keeps the spacing it was written with.
void append_natural_text(Context& context, std::string_view piece, std::optional<SourceSpan> range,
                         std::string_view source, Join join,
                         std::span<const MapSegment> segments = {}, std::size_t segments_base = 0);

// Spoken form of inline code: `_`, `::`, `/` and `\` become spaces (in that order).
// Rewrites `code` onto `out`; `segments` (positions in `code`) move to positions in `out`.
void append_inline_code(std::string& out, std::string_view code, Segments& segments);

// Where md4c runs: on the calling thread, or on a second one while the calling thread walks its
// events (what large documents get). Both read the same document.
enum class Reading : std::uint8_t { OneThread, TwoThreads };

ParsedMarkdownDocument parse_markdown_document(std::string_view source, Reading reading,
                                               ReadingMode mode = ReadingMode::Plain);

}  // namespace mdspeak::markdown
