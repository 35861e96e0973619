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

namespace mdspeak::text {

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

}  // namespace mdspeak::text
