// How the bytes of gathered text map back to the source while a block's text is built, cleaned
// and cut, and the compact per-utterance form kept in `TextSourceMap`.
//
// A segment ties a range of text to the range of source that produced it. A segment whose two
// ranges have the same length is exact: byte i of the text came from byte i of the source (line
// feeds read as spaces). Any other segment is a rewrite (a smart quote, a character reference,
// `::` in code) and maps as a whole; rewrites that keep the length (`...` to an ellipsis) never
// hold a word boundary, so reading them byte for byte loses nothing. Inserted text (joining
// spaces, separators) has no segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "markdown/markdown.h"

namespace mdspeak::markdown {

// Positions are held in 32 bits (md4c reads at most 4 GiB); a segment beyond is not kept, and
// its words fall back to their utterance's range.
struct MapSegment {
  std::uint32_t text_begin = 0;
  std::uint32_t text_end = 0;
  std::uint32_t source_begin = 0;
  std::uint32_t source_end = 0;

  bool exact() const { return text_end - text_begin == source_end - source_begin; }
};

inline constexpr std::size_t kMaxMapped = 0xFFFFFFFF;

using Segments = std::vector<MapSegment>;

// Appends a segment, merging it into the last one when both are exact and continue each other.
inline void add_segment(Segments& segments, std::size_t text_begin, std::size_t text_end,
                        std::size_t source_begin, std::size_t source_end) {
  if (text_begin >= text_end || text_end > kMaxMapped || source_end > kMaxMapped) return;
  const bool exact = text_end - text_begin == source_end - source_begin;
  if (exact && !segments.empty()) {
    MapSegment& last = segments.back();
    if (last.exact() && last.text_end == text_begin && last.source_end == source_begin) {
      last.text_end = static_cast<std::uint32_t>(text_end);
      last.source_end = static_cast<std::uint32_t>(source_end);
      return;
    }
  }
  segments.push_back({static_cast<std::uint32_t>(text_begin), static_cast<std::uint32_t>(text_end),
                      static_cast<std::uint32_t>(source_begin),
                      static_cast<std::uint32_t>(source_end)});
}

// Appends the parts of `from` that fall inside text [lo, hi), moved by `shift` (text positions
// of the result are `position - lo + shift`).
void add_clipped(Segments& to, std::span<const MapSegment> from, std::size_t lo, std::size_t hi,
                 std::size_t shift);

using Cut = text::Cut;

// Moves segments through a rewrite of their text that removed the `cuts` (sorted, disjoint)
// and kept every other byte in place.
void remap(Segments& segments, std::span<const Cut> cuts);

// Bytes added to the text md4c reads: `length` bytes at `at` of that text.
struct Insertion {
  std::size_t at = 0;
  std::size_t length = 0;
};

// Builds a TextSourceMap one utterance at a time, in utterance order, and turns positions in the
// text md4c read into positions in the source.
class SourceMapBuilder {
 public:
  explicit SourceMapBuilder(TextSourceMap& map, std::vector<Insertion> insertions = {});

  // The source position of `position` in the text read; inserted bytes map to where they stand.
  std::size_t to_source(std::size_t position) const {
    // Most positions stand before the first insertion or after the last.
    if (insertions_.empty() || position < insertions_.front().at) return position;
    if (position >= after_last_) return position - inserted_;
    return through_insertions(position);
  }

  // The utterance's range, and its segments with text positions relative to its text (sorted),
  // both already in source positions.
  void add(SourceSpan range, std::span<const MapSegment> segments);

  // Room for this many utterances.
  void reserve(std::size_t utterances) { map_.offsets_.reserve(utterances); }

 private:
  std::size_t through_insertions(std::size_t position) const;

  TextSourceMap& map_;
  std::vector<Insertion> insertions_;        // in order
  std::vector<std::size_t> removed_before_;  // bytes inserted before each
  std::size_t after_last_ = 0;               // where the text after the last insertion starts
  std::size_t inserted_ = 0;                 // bytes inserted in all
  mutable std::size_t hint_ = 0;             // the insertion last looked at
};

// Sections and title around finished utterances and their map (both kept unchanged).
ParsedMarkdownDocument assemble_document(std::vector<Utterance> utterances, TextSourceMap map);

}  // namespace mdspeak::markdown
