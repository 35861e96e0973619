// The text toolkit every module shares: trimming and collapsing white space, ASCII lower case and
// the two sets of marks that end a sentence.
//
// White space is the Unicode White_Space set (see unicode.h). The functions are fast on the
// common case, text that is already clean: runs that need no change are found a word at a time
// and copied whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mdspeak::text {

// Position of the first byte at or after `from` that is one of `Bytes`, or the text's size: the
// common scan of text that is mostly plain, sixteen bytes at a time.
template <char... Bytes>
std::size_t find_any(std::string_view text, std::size_t from) {
  std::size_t i = from;
#if defined(__SSE2__)
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(c, _mm_set1_epi8(Bytes)))), ...);
    if (const int mask = _mm_movemask_epi8(hit); mask != 0) {
      return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
  }
#endif
  for (; i < text.size(); ++i) {
    if (((text[i] == Bytes) || ...)) return i;
  }
  return text.size();
}

// White space removed from both ends.
std::string_view trim(std::string_view text);

// Bytes [at, at + length) of a text that a rewrite removed.
struct Cut {
  std::size_t at = 0;
  std::size_t length = 0;
};

// Runs of white space become one space; none is left at either end. With `removed`, also notes
// the bytes that went (in order): white space at either end, and all but the first byte of each
// inner run.
std::string collapse_white_space(std::string_view text, std::vector<Cut>* removed = nullptr);

constexpr char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string ascii_lower(std::string_view text);

// The marks that end a sentence: `.`, `!` and `?`.
constexpr bool ends_sentence(char c) {
  return c == '.' || c == '!' || c == '?';
}

// The marks after which long spoken text may be cut: those that end a sentence, and the `:` and
// `;` that end a clause.
constexpr bool ends_sentence_or_clause(char c) {
  return ends_sentence(c) || c == ':' || c == ';';
}

// The first of those marks at or after `from`, or the text's size.
inline std::size_t find_sentence_or_clause_end(std::string_view text, std::size_t from) {
  return find_any<'.', '!', '?', ':', ';'>(text, from);
}

}  // namespace mdspeak::text
