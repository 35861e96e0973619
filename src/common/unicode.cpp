#include "common/unicode.h"

#include <cstdint>
#include <cstring>

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace mdspeak::unicode {

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  unsigned char b0 = s[pos];
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int len = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return 0xFFFD;
  }
  if (pos + len > n) {
    ++pos;
    return 0xFFFD;
  }
  for (int i = 1; i < len; ++i) {
    unsigned char b = s[pos + i];
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += len;
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_valid_utf8(std::string_view text) {
  return first_invalid_utf8(text) == std::string_view::npos;
}

std::size_t first_invalid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Eight plain ASCII bytes at a time: most of any text this system reads.
    std::uint64_t word;
    if (pos + sizeof word <= text.size()) {
      std::memcpy(&word, text.data() + pos, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        pos += sizeof word;
        continue;
      }
    }
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    std::size_t before = pos;
    char32_t cp = next_code_point(text, pos);
    // A genuine U+FFFD takes three bytes; a decoding failure advances by one.
    if (cp == 0xFFFD && pos - before != 3) return before;
  }
  return std::string_view::npos;
}

bool is_alphabetic(char32_t cp) {
  if (cp < 0x80) return (cp | 0x20) >= 'a' && (cp | 0x20) <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_ALPHABETIC);
}

bool is_numeric(char32_t cp) {
  if (cp < 0x80) return cp >= '0' && cp <= '9';
  // Categories Nd, Nl and No; ICU's Numeric_Type would also admit Han ideographs.
  return (U_GET_GC_MASK(static_cast<UChar32>(cp)) & (U_GC_ND_MASK | U_GC_NL_MASK | U_GC_NO_MASK)) !=
         0;
}

bool is_uppercase(char32_t cp) {
  if (cp < 0x80) return cp >= 'A' && cp <= 'Z';
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_UPPERCASE);
}

bool is_lowercase(char32_t cp) {
  if (cp < 0x80) return cp >= 'a' && cp <= 'z';
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_LOWERCASE);
}

std::string full_lowercase(char32_t cp) {
  UChar src[2];
  int32_t src_len = 0;
  U16_APPEND_UNSAFE(src, src_len, static_cast<UChar32>(cp));
  UChar dest[8];
  UErrorCode status = U_ZERO_ERROR;
  int32_t len = u_strToLower(dest, 8, src, src_len, "", &status);
  std::string out;
  if (U_FAILURE(status) || len > 8) {
    append_utf8(out, cp);
    return out;
  }
  for (int32_t i = 0; i < len;) {
    UChar32 c;
    U16_NEXT(dest, i, len, c);
    append_utf8(out, static_cast<char32_t>(c));
  }
  return out;
}

std::vector<std::string_view> split_on_white_space(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  std::size_t word_start = std::string_view::npos;
  while (pos < text.size()) {
    std::size_t here = pos;
    char32_t cp = next_code_point(text, pos);
    if (is_white_space(cp)) {
      if (word_start != std::string_view::npos) {
        out.push_back(text.substr(word_start, here - word_start));
        word_start = std::string_view::npos;
      }
    } else if (word_start == std::string_view::npos) {
      word_start = here;
    }
  }
  if (word_start != std::string_view::npos) out.push_back(text.substr(word_start));
  return out;
}

}  // namespace mdspeak::unicode
