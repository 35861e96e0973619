#include "common/text.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "common/unicode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mdspeak::text {

std::string_view trim(std::string_view text) {
  // Text is mostly trimmed already: two plain ASCII ends need no decoding.
  const auto solid = [](char c) { return c > ' ' && c < 0x7F; };
  if (!text.empty() && solid(text.front()) && solid(text.back())) return text;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!unicode::is_white_space(unicode::next_code_point(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last character.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    if (!unicode::is_white_space(unicode::next_code_point(text, probe)) || probe != end) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

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
#if defined(__SSE2__)
    // Sixteen bytes at a time while they hold only other characters and single spaces between
    // them; anything else is left to the closer look below.
    const __m128i limit = _mm_set1_epi8(0x21);
    const __m128i space = _mm_set1_epi8(' ');
    const __m128i none = _mm_set1_epi8(-1);
    while (j + 16 < n) {
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + j));
      // ASCII white space and control bytes (signed, bytes from 0x80 on are below zero), and the
      // lead bytes of multi-byte white space; other letters of any script are plain.
      const __m128i low = _mm_and_si128(_mm_cmplt_epi8(c, limit), _mm_cmpgt_epi8(c, none));
      const __m128i lead = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0xC2))),
                       _mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0xE1)))),
          _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0xE2))),
                       _mm_cmpeq_epi8(c, _mm_set1_epi8(static_cast<char>(0xE3)))));
      const auto maybe = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(low, lead)));
      const auto spaces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, space)));
      if (maybe != spaces) break;
      // A space may not open the run nor stand before white space.
      const unsigned before = spaces << 1 | (j == i ? 1u : 0u);
      const unsigned after = spaces >> 1 | (plain(j + 16) ? 0u : 1u << 15);
      if ((spaces & (before | after)) != 0) break;
      j += 16;
    }
#endif
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
std::string collapse(std::string_view text, std::vector<Cut>* cuts) {
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

std::string collapse_white_space(std::string_view text, std::vector<Cut>* removed) {
  return collapse(text, removed);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

}  // namespace mdspeak::text
