// Small Unicode helpers shared by every module that trims, splits or classifies text.
//
// "White space" throughout the service means the Unicode White_Space set (U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000), not only ASCII
// blanks. Letter and case properties come from ICU. All functions take valid UTF-8; on invalid
// input they never read out of bounds (a bad byte decodes as U+FFFD and is skipped alone).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mdspeak::unicode {

// Decodes the code point starting at `text[pos]` and advances `pos` past it.
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Appends the UTF-8 encoding of `cp` to `out`.
void append_utf8(std::string& out, char32_t cp);

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view text);
// The offset of the first byte that does not start a well-formed sequence, or npos.
std::size_t first_invalid_utf8(std::string_view text);

constexpr bool is_white_space(char32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

bool is_alphabetic(char32_t cp);
bool is_numeric(char32_t cp);  // Unicode Numeric: general categories Nd, Nl and No
inline bool is_alphanumeric(char32_t cp) {
  return is_alphabetic(cp) || is_numeric(cp);
}
bool is_uppercase(char32_t cp);
bool is_lowercase(char32_t cp);
// Full lower-case mapping of one character (may be several characters, e.g. U+0130).
std::string full_lowercase(char32_t cp);

// The non-empty pieces between runs of white space (not words as spoken: see speech/words.h).
std::vector<std::string_view> split_on_white_space(std::string_view text);

}  // namespace mdspeak::unicode
