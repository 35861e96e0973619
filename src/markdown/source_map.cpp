#include "markdown/source_map.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

#include "common/unicode.h"

namespace mdspeak {

namespace markdown {

void add_segment(Segments& segments, std::size_t text_begin, std::size_t text_end,
                 std::size_t source_begin, std::size_t source_end, bool exact) {
  if (text_begin >= text_end) return;
  if (exact && !segments.empty()) {
    MapSegment& last = segments.back();
    if (last.exact && last.text_end == text_begin && last.source_end == source_begin) {
      last.text_end = text_end;
      last.source_end = source_end;
      return;
    }
  }
  segments.push_back({text_begin, text_end, source_begin, source_end, exact});
}

void add_clipped(Segments& to, std::span<const MapSegment> from, std::size_t lo, std::size_t hi,
                 std::size_t shift) {
  for (const MapSegment& s : from) {
    if (s.text_end <= lo) continue;
    if (s.text_begin >= hi) break;
    const std::size_t b = std::max(s.text_begin, lo);
    const std::size_t e = std::min(s.text_end, hi);
    std::size_t sb = s.source_begin;
    std::size_t se = s.source_end;
    if (s.exact) {
      sb += b - s.text_begin;
      se = sb + (e - b);
    }
    add_segment(to, b - lo + shift, e - lo + shift, sb, se, s.exact);
  }
}

void remap(Segments& segments, std::span<const std::size_t> moved) {
  Segments result;
  result.reserve(segments.size());
  for (const MapSegment& s : segments) {
    if (s.exact) {
      for (std::size_t k = s.text_begin; k < s.text_end; ++k) {
        const std::size_t m = moved[k];
        if (m == kDropped) continue;
        const std::size_t source = s.source_begin + (k - s.text_begin);
        if (k + 1 < s.text_end && moved[k + 1] == m) {
          add_segment(result, m, m + 1, source, source + 2, false);
          ++k;
        } else {
          add_segment(result, m, m + 1, source, source + 1, true);
        }
      }
      continue;
    }
    std::size_t first = kDropped;
    std::size_t last = kDropped;
    for (std::size_t k = s.text_begin; k < s.text_end; ++k) {
      if (moved[k] == kDropped) continue;
      if (first == kDropped) first = moved[k];
      last = moved[k];
    }
    if (first != kDropped)
      add_segment(result, first, last + 1, s.source_begin, s.source_end, false);
  }
  segments = std::move(result);
}

std::string normalize_mapped(std::string_view text, Segments& segments) {
  std::string out = normalize_whitespace(text);
  // Only dropped bytes move positions: with nothing dropped every segment stays where it is.
  if (out.size() == text.size() || segments.empty()) return out;
  std::vector<std::size_t> moved(text.size(), kDropped);
  std::size_t w = 0;
  bool pending_space = false;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t j = i;
    if (unicode::is_white_space(unicode::next_code_point(text, j))) {
      pending_space = w > 0;
    } else {
      if (pending_space) ++w;
      pending_space = false;
      for (std::size_t k = i; k < j; ++k) moved[k] = w++;
    }
    i = j;
  }
  remap(segments, moved);
  return out;
}

namespace {

void put(std::vector<std::uint8_t>& bytes, std::uint64_t v) {
  while (v >= 0x80) {
    bytes.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  bytes.push_back(static_cast<std::uint8_t>(v));
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

// Entry layout: start, length, segment count, then per segment the text gap before it, its text
// length with the exact flag as lowest bit, its source start relative to where the previous one
// ended (the utterance's start for the first), and its source length when not exact.
void SourceMapBuilder::add(SourceSpan range, std::span<const MapSegment> segments) {
  std::vector<std::uint8_t>& bytes = map_.bytes_;
  map_.offsets_.push_back(bytes.size());
  put(bytes, range.first);
  put(bytes, range.second - range.first);
  put(bytes, segments.size());
  std::size_t text_end = 0;
  std::uint64_t source_end = range.first;
  for (const MapSegment& s : segments) {
    put(bytes, s.text_begin - text_end);
    put(bytes, ((s.text_end - s.text_begin) << 1) | (s.exact ? 1 : 0));
    put(bytes, zigzag(static_cast<std::int64_t>(s.source_begin - source_end)));
    if (!s.exact) put(bytes, s.source_end - s.source_begin);
    text_end = s.text_end;
    source_end = s.source_end;
  }
}

}  // namespace markdown

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
