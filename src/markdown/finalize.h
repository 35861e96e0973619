// Text finalisation shared by the walker: the borrowing form of `finalize_text`.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "markdown/markdown.h"
#include "markdown/source_map.h"

namespace mdspeak::markdown {

// `normalize_whitespace(text)`, with `segments` (positions in `text`) moved to positions in the
// result.
std::string normalize_mapped(std::string_view text, Segments& segments);

// Same as `finalize_text`, reading the gathered text without taking it. With a `map`, every
// utterance appended also gets its entry there, from `segments` (positions in `text`; consumed).
void append_utterances(std::vector<Utterance>& out, std::string_view text,
                       std::optional<SourceSpan> span, UtteranceKind kind, Segments& segments,
                       SourceMapBuilder* map);

}  // namespace mdspeak::markdown
