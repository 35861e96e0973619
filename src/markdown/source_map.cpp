#include "markdown/source_map.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/unicode.h"

namespace mdspeak {

namespace markdown {

namespace {
constexpr std::size_t kNone = static_cast<std::size_t>(-1);
}

void add_clipped(Segments& to, std::span<const MapSegment> from, std::size_t lo, std::size_t hi,
                 std::size_t shift) {
  for (const MapSegment& s : from) {
    if (s.text_end <= lo) continue;
    if (s.text_begin >= hi) break;
    const std::size_t b = std::max<std::size_t>(s.text_begin, lo);
    const std::size_t e = std::min<std::size_t>(s.text_end, hi);
    std::size_t sb = s.source_begin;
    std::size_t se = s.source_end;
    if (s.exact()) {
      sb += b - s.text_begin;
      se = sb + (e - b);
    }
    add_segment(to, b - lo + shift, e - lo + shift, sb, se);
  }
}

void remap(Segments& segments, std::span<const Cut> cuts) {
  if (cuts.empty()) return;
  Segments result;
  result.reserve(segments.size() + cuts.size());
  std::size_t k = 0;       // cuts before k end before the current segment
  std::size_t before = 0;  // their bytes
  for (const MapSegment& s : segments) {
    while (k < cuts.size() && cuts[k].at + cuts[k].length <= s.text_begin) {
      before += cuts[k].length;
      ++k;
    }
    std::size_t cut = k;
    std::size_t removed = before;
    std::size_t first = kNone;
    std::size_t last = 0;
    for (std::size_t pos = s.text_begin; pos < s.text_end;) {
      if (cut < cuts.size() && cuts[cut].at <= pos) {
        pos = std::max(pos, cuts[cut].at + cuts[cut].length);
        removed += cuts[cut].length;
        ++cut;
        continue;
      }
      const std::size_t stop =
          cut < cuts.size() ? std::min<std::size_t>(s.text_end, cuts[cut].at) : s.text_end;
      if (s.exact()) {
        const std::size_t source = s.source_begin + (pos - s.text_begin);
        add_segment(result, pos - removed, stop - removed, source, source + (stop - pos));
      } else {
        if (first == kNone) first = pos - removed;
        last = stop - removed;
      }
      pos = stop;
    }
    if (first != kNone) add_segment(result, first, last, s.source_begin, s.source_end);
  }
  segments = std::move(result);
}

namespace {

// Writes `v` at `out` as a variable-length number; returns the end.
std::uint8_t* put(std::uint8_t* out, std::uint64_t v) {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

std::uint64_t get(const std::uint8_t*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    const std::uint8_t b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if ((b & 0x80) == 0) return v;
  }
}

// Source gaps are signed: a rewrite can map behind where the previous segment ended.
std::uint64_t zigzag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::int64_t unzigzag(std::uint64_t v) {
  return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace

SourceMapBuilder::SourceMapBuilder(TextSourceMap& map, std::vector<Insertion> insertions)
    : map_(map), insertions_(std::move(insertions)) {
  std::size_t removed = 0;
  removed_before_.reserve(insertions_.size());
  for (const Insertion& i : insertions_) {
    removed_before_.push_back(removed);
    removed += i.length;
  }
  inserted_ = removed;
  if (!insertions_.empty()) after_last_ = insertions_.back().at + insertions_.back().length;
}

std::size_t SourceMapBuilder::through_insertions(std::size_t position) const {
  // Positions come nearly in order: the insertion found last time or the next one is most
  // often right; otherwise the last insertion at or before the position is searched for.
  std::size_t k = hint_;
  const auto at_or_before = [&](std::size_t j) { return insertions_[j].at <= position; };
  const auto last_before_next = [&](std::size_t j) {
    return j + 1 == insertions_.size() || !at_or_before(j + 1);
  };
  if (!(at_or_before(k) && last_before_next(k))) {
    if (k + 1 < insertions_.size() && at_or_before(k + 1) && last_before_next(k + 1)) {
      ++k;
    } else {
      const auto after =
          std::upper_bound(insertions_.begin(), insertions_.end(), position,
                           [](std::size_t p, const Insertion& i) { return p < i.at; });
      k = after == insertions_.begin() ? 0
                                       : static_cast<std::size_t>(after - insertions_.begin()) - 1;
    }
  }
  hint_ = k;
  const Insertion& i = insertions_[k];
  if (position < i.at) return position;  // before the first
  if (position < i.at + i.length) return i.at - removed_before_[k];
  return position - removed_before_[k] - i.length;
}

// Entry layout: start, length, segment count, then per segment the text gap before it, its text
// length with the exact flag as lowest bit, its source start relative to where the previous one
// ended (the utterance's start for the first), and its source length when not exact.
void SourceMapBuilder::add(SourceSpan range, std::span<const MapSegment> segments) {
  // Written in place with room for the longest numbers, then cut to what was written.
  constexpr std::size_t kLongestNumber = 10;
  std::vector<std::uint8_t>& bytes = map_.bytes_;
  const std::size_t at = bytes.size();
  map_.offsets_.push_back(at);
  bytes.resize(at + kLongestNumber * (3 + 4 * segments.size()));
  std::uint8_t* const begin = bytes.data() + at;
  std::uint8_t* out = begin;
  out = put(out, range.first);
  out = put(out, range.second - range.first);
  out = put(out, segments.size());
  std::size_t text_end = 0;
  std::uint64_t source_end = range.first;
  for (const MapSegment& s : segments) {
    const std::uint64_t source_begin = to_source(s.source_begin);
    const std::uint64_t source_length = to_source(s.source_end) - source_begin;
    out = put(out, s.text_begin - text_end);
    out = put(out, (std::uint64_t{s.text_end - s.text_begin} << 1) | (s.exact() ? 1 : 0));
    out = put(out, zigzag(static_cast<std::int64_t>(source_begin - source_end)));
    if (!s.exact()) out = put(out, source_length);
    text_end = s.text_end;
    source_end = source_begin + source_length;
  }
  bytes.resize(at + static_cast<std::size_t>(out - begin));
}

}  // namespace markdown

void TextSourceMap::reword_prefix(std::size_t utterance_index, std::size_t old_length,
                                  std::size_t new_length) {
  if (utterance_index >= offsets_.size() || old_length == new_length) return;
  const std::uint8_t* p = bytes_.data() + offsets_[utterance_index];
  markdown::get(p);                                            // start
  markdown::get(p);                                            // length
  if (markdown::get(p) == 0 || markdown::get(p) != 0) return;  // no piece, or a gap before it
  const std::size_t header_at = static_cast<std::size_t>(p - bytes_.data());
  const std::uint64_t header = markdown::get(p);
  // An exact piece has no source length written; a prefix never maps byte for byte.
  if ((header & 1) != 0 || (header >> 1) != old_length) return;
  const std::size_t old_size = static_cast<std::size_t>(p - bytes_.data()) - header_at;
  std::uint8_t encoded[10];
  const std::size_t new_size =
      static_cast<std::size_t>(markdown::put(encoded, std::uint64_t{new_length} << 1) - encoded);
  if (new_size != old_size) {
    // Numbers of one size for prefixes of a few bytes; otherwise the entries after move.
    const auto at = bytes_.begin() + static_cast<std::ptrdiff_t>(header_at);
    bytes_.erase(at, at + static_cast<std::ptrdiff_t>(old_size));
    bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(header_at), encoded,
                  encoded + new_size);
    for (std::size_t i = utterance_index + 1; i < offsets_.size(); ++i) {
      offsets_[i] = offsets_[i] + new_size - old_size;
    }
    return;
  }
  std::copy(encoded, encoded + new_size, bytes_.begin() + static_cast<std::ptrdiff_t>(header_at));
}

SourceSpan TextSourceMap::source_range(std::size_t utterance_index, std::size_t text_start,
                                       std::size_t text_end) const {
  if (utterance_index >= offsets_.size()) return {0, 0};
  const std::uint8_t* p = bytes_.data() + offsets_[utterance_index];
  const std::uint64_t start = markdown::get(p);
  const SourceSpan own{start, start + markdown::get(p)};
  std::uint64_t count = markdown::get(p);
  std::uint64_t t_end = 0;
  std::uint64_t s_end = start;
  bool found = false;
  SourceSpan hit{0, 0};
  // Where the source stood before the queried text, for text that no source gave.
  std::optional<std::uint64_t> before;
  while (count-- > 0) {
    const std::uint64_t tb = t_end + markdown::get(p);
    const std::uint64_t header = markdown::get(p);
    const bool exact = (header & 1) != 0;
    const std::uint64_t te = tb + (header >> 1);
    const std::uint64_t sb =
        s_end + static_cast<std::uint64_t>(markdown::unzigzag(markdown::get(p)));
    const std::uint64_t se = exact ? sb + (te - tb) : sb + markdown::get(p);
    t_end = te;
    s_end = se;
    if (te <= text_start) {
      before = se;
      continue;
    }
    if (tb >= text_end) {
      if (!before) before = sb;
      break;
    }
    std::uint64_t lo = sb;
    std::uint64_t hi = se;
    if (exact) {
      lo = sb + (std::max<std::uint64_t>(tb, text_start) - tb);
      hi = sb + (std::min<std::uint64_t>(te, text_end) - tb);
    }
    if (!found) {
      hit = {lo, hi};
      found = true;
    } else {
      hit.first = std::min(hit.first, lo);
      hit.second = std::max(hit.second, hi);
    }
  }
  if (found) return hit;
  // Inserted text (a joining space, a cell separator) stands between its neighbours' sources.
  if (before) return {*before, *before};
  return own;
}

}  // namespace mdspeak
