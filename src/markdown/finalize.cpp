#include "markdown/finalize.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "common/unicode.h"

namespace mdspeak {

namespace {

// A long text is cut after these marks once the piece before them has this many bytes.
constexpr std::size_t kMaxUtteranceBytes = 180;
constexpr std::size_t kMinSentenceBytes = 40;

bool is_sentence_end(char c) {
  return c == '!' || c == '.' || c == ':' || c == ';' || c == '?';
}

std::vector<std::string_view> cut_at_sentence_ends(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  // The marks are ASCII, so walking bytes visits them exactly where walking characters would.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!is_sentence_end(text[i])) continue;
    std::string_view piece = unicode::trim(text.substr(begin, i + 1 - begin));
    if (piece.size() >= kMinSentenceBytes) {
      pieces.push_back(piece);
      begin = i + 1;
    }
  }
  std::string_view rest = unicode::trim(text.substr(begin));
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

std::vector<std::string_view> cut_at_commas(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t comma = text.find(',', begin);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = unicode::trim(text.substr(begin, comma - begin));
    if (!piece.empty()) pieces.push_back(piece);
    begin = comma + 1;
  }
  return pieces;
}

}  // namespace

// Bytes that need a closer look: ASCII white space, and the lead bytes of the multi-byte white
// space characters (U+0085 and U+00A0; U+1680; U+2000 to U+205F; U+3000).
constexpr auto kWhiteSpaceClass = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0x09; c <= 0x0D; ++c) table[c] = 1;
  table[' '] = 1;
  table[0xC2] = table[0xE1] = table[0xE2] = table[0xE3] = 2;
  return table;
}();

namespace {

// Flags (at least) the first byte of the eight that is below 0x21 or not ASCII: the only bytes
// that can be or start white space. Bytes after the first flagged one may be flagged wrongly.
inline std::uint64_t maybe_white_space(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  return ((v - 0x21 * kOnes) & ~v & kHigh) | (v & kHigh);
}

// End of the run of text from `i` that needs no change: no white space but single spaces
// between other characters.
std::size_t clean_run_end(std::string_view text, std::size_t i) {
  const char* s = text.data();
  const std::size_t n = text.size();
  auto plain = [&](std::size_t k) {
    return kWhiteSpaceClass[static_cast<unsigned char>(s[k])] == 0;
  };
  std::size_t j = i;
  for (;;) {
    while (j + 8 <= n) {
      std::uint64_t m = maybe_white_space(s + j);
      if (m != 0) {
        j += static_cast<std::size_t>(__builtin_ctzll(m)) / 8;
        break;
      }
      j += 8;
    }
    while (j < n && plain(j)) ++j;
    if (j >= n) return j;
    if (s[j] == ' ') {
      if (j > i && j + 1 < n && plain(j + 1)) {
        j += 2;
        continue;
      }
      return j;
    }
    if (kWhiteSpaceClass[static_cast<unsigned char>(s[j])] == 2) {
      std::size_t k = j;
      if (!unicode::is_white_space(unicode::next_code_point(text, k))) {
        j = k;
        continue;
      }
    }
    return j;
  }
}

}  // namespace

namespace {

// normalize_whitespace, also noting in `cuts` (when given) the bytes it removed: white space at
// either end, and all but the first byte of each inner run of white space.
std::string collapse(std::string_view text, std::vector<markdown::Cut>* cuts) {
  // Same result as unicode::collapse_white_space, but copies runs of text that need no change
  // in one go: this runs over every block of every document.
  const char* s = text.data();
  const std::size_t n = text.size();
  std::string out(n, '\0');
  char* o = out.data();
  std::size_t w = 0;
  bool pending_space = false;
  std::size_t run_start = std::string_view::npos;  // of the white space being skipped
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = clean_run_end(text, i);
    if (j == i) {
      // White space (a run never stops at anything else).
      if (run_start == std::string_view::npos) run_start = i;
      pending_space = w > 0;
      unicode::next_code_point(text, j);
      i = j;
      continue;
    }
    if (cuts != nullptr && run_start != std::string_view::npos) {
      const std::size_t kept = pending_space ? 1 : 0;
      if (i - run_start > kept) cuts->push_back({run_start + kept, i - run_start - kept});
    }
    run_start = std::string_view::npos;
    if (pending_space) {
      o[w++] = ' ';
      pending_space = false;
    }
    std::memcpy(o + w, s + i, j - i);
    w += j - i;
    i = j;
  }
  if (cuts != nullptr && run_start != std::string_view::npos) {
    cuts->push_back({run_start, n - run_start});
  }
  out.resize(w);
  return out;
}

}  // namespace

std::string normalize_whitespace(std::string_view text) {
  return collapse(text, nullptr);
}

namespace markdown {

std::string normalize_mapped(std::string_view text, Segments& segments) {
  std::vector<Cut> cuts;
  std::string out = collapse(text, &cuts);
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

}  // namespace markdown

void finalize_text(std::vector<Utterance>& out, std::string text, std::optional<SourceSpan> span,
                   UtteranceKind kind) {
  markdown::Segments none;
  markdown::append_utterances(out, text, span, kind, none, nullptr);
}

}  // namespace mdspeak
