// Text finalisation: a block's gathered text cleaned and cut into utterances.
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

// Cleans a block's gathered text and appends zero or more utterances cut from it: one when the
// cleaned text is at most 180 bytes, otherwise one per sentence group of at least 40 bytes, or per
// comma-separated part when that gives a single piece. Nothing is appended without a span. With
// a `map`, every utterance appended also gets its entry there, from `segments` (positions in
// `text`; consumed), and the span is read through the map's insertions.
void append_utterances(std::vector<Utterance>& out, std::string_view text,
                       std::optional<SourceSpan> span, UtteranceKind kind, Segments& segments,
                       SourceMapBuilder* map);

// The same for the natural reading: cuts only where a sentence is heard to end (a mark followed
// by a space, not after an abbreviation), commas kept, and each piece cut from a longer text
// carries the range of the source bytes that produced it. `source` is the text the segments'
// source positions count in: a mark whose source is not followed by white space does not cut.
void append_natural_utterances(std::vector<Utterance>& out, std::string_view text,
                               std::optional<SourceSpan> span, UtteranceKind kind,
                               Segments& segments, SourceMapBuilder& map, std::string_view source);

}  // namespace mdspeak::markdown
