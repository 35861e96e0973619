#include "markdown/finalize.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "common/text.h"
#include "markdown/natural.h"

namespace mdspeak {

namespace {

// A long text is cut after these marks once the piece before them has this many bytes.
constexpr std::size_t kMaxUtteranceBytes = 180;
constexpr std::size_t kMinSentenceBytes = 40;

std::vector<std::string_view> cut_at_sentence_ends(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  // The marks are ASCII, so walking bytes visits them exactly where walking characters would.
  for (std::size_t i = 0; (i = text::find_sentence_or_clause_end(text, i)) < text.size(); ++i) {
    std::string_view piece = text::trim(text.substr(begin, i + 1 - begin));
    if (piece.size() >= kMinSentenceBytes) {
      pieces.push_back(piece);
      begin = i + 1;
    }
  }
  std::string_view rest = text::trim(text.substr(begin));
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

std::vector<std::string_view> cut_at_commas(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t comma = text.find(',', begin);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = text::trim(text.substr(begin, comma - begin));
    if (!piece.empty()) pieces.push_back(piece);
    begin = comma + 1;
  }
  return pieces;
}

}  // namespace

std::string normalize_whitespace(std::string_view text) {
  return text::collapse_white_space(text);
}

namespace markdown {

std::string normalize_mapped(std::string_view text, Segments& segments) {
  std::vector<Cut> cuts;
  std::string out = text::collapse_white_space(text, &cuts);
  remap(segments, cuts);
  return out;
}

void append_utterances(std::vector<Utterance>& out, std::string_view text,
                       std::optional<SourceSpan> span, UtteranceKind kind, Segments& segments,
                       SourceMapBuilder* map) {
  if (!span) return;
  std::string normalized =
      map != nullptr ? normalize_mapped(text, segments) : normalize_whitespace(text);
  if (normalized.empty()) return;
  std::uint64_t start = span->first;
  std::uint64_t end = std::max(span->first, span->second);
  if (map != nullptr) {
    start = map->to_source(start);
    end = map->to_source(end);
  }
  if (normalized.size() <= kMaxUtteranceBytes) {
    if (map != nullptr) map->add({start, end}, segments);
    out.push_back(Utterance{std::move(normalized), start, end, kind});
    return;
  }
  std::vector<std::string_view> pieces = cut_at_sentence_ends(normalized);
  if (pieces.size() < 2) pieces = cut_at_commas(normalized);
  if (pieces.size() == 1 && pieces[0].size() == normalized.size()) {
    if (map != nullptr) map->add({start, end}, segments);
    out.push_back(Utterance{std::move(normalized), start, end, kind});
    return;
  }
  Segments own;
  std::size_t first = 0;  // pieces come in text order: skip the segments of those done
  for (std::string_view piece : pieces) {
    if (map != nullptr) {
      const auto at = static_cast<std::size_t>(piece.data() - normalized.data());
      while (first < segments.size() && segments[first].text_end <= at) ++first;
      own.clear();
      add_clipped(own, std::span(segments).subspan(first), at, at + piece.size(), 0);
      map->add({start, end}, own);
    }
    out.push_back(Utterance{std::string(piece), start, end, kind});
  }
}

void append_natural_utterances(std::vector<Utterance>& out, std::string_view text,
                               std::optional<SourceSpan> span, UtteranceKind kind,
                               Segments& segments, SourceMapBuilder& map, std::string_view source) {
  if (!span) return;
  std::string normalized = normalize_mapped(text, segments);
  if (normalized.empty()) return;
  const std::uint64_t start = map.to_source(span->first);
  const std::uint64_t end = map.to_source(std::max(span->first, span->second));
  std::vector<std::string_view> pieces;
  if (normalized.size() > kMaxUtteranceBytes) {
    // A mark the source wrote inside a token or inline code (`./install`, where the rewrite
    // left a space after the dot) is not heard as an end; added text has no source to ask.
    const auto heard = [&](std::size_t at) {
      const auto s =
          std::upper_bound(segments.begin(), segments.end(), at,
                           [](std::size_t p, const MapSegment& m) { return p < m.text_end; });
      if (s == segments.end() || s->text_begin > at || !s->exact()) return true;
      return markdown::heard_as_end(source, s->source_begin + (at - s->text_begin));
    };
    pieces = markdown::cut_sentences(normalized, kMinSentenceBytes, heard);
    if (pieces.size() < 2) pieces = markdown::cut_after_commas(normalized);
  }
  if (pieces.size() < 2) {
    map.add({start, end}, segments);
    out.push_back(Utterance{std::move(normalized), start, end, kind});
    return;
  }
  Segments own;
  std::size_t first = 0;  // pieces come in text order: skip the segments of those done
  std::uint64_t last_end = start;
  for (std::string_view piece : pieces) {
    const auto at = static_cast<std::size_t>(piece.data() - normalized.data());
    while (first < segments.size() && segments[first].text_end <= at) ++first;
    own.clear();
    add_clipped(own, std::span(segments).subspan(first), at, at + piece.size(), 0);
    // The piece's range runs from the first to the last source byte that produced it, kept
    // inside the block and clear of the piece before.
    std::uint64_t lo = end;
    std::uint64_t hi = start;
    for (const MapSegment& s : own) {
      lo = std::min<std::uint64_t>(lo, map.to_source(s.source_begin));
      hi = std::max<std::uint64_t>(hi, map.to_source(s.source_end));
    }
    if (lo > hi) lo = hi = last_end;  // only inserted text: it stands where the last piece ended
    lo = std::clamp(lo, last_end, end);
    hi = std::clamp(hi, lo, end);
    map.add({lo, hi}, own);
    out.push_back(Utterance{std::string(piece), lo, hi, kind});
    last_end = hi;
  }
}

}  // namespace markdown

}  // namespace mdspeak
