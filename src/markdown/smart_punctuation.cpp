#include "markdown/smart_punctuation.h"

#include <unicode/uchar.h>

#include <array>

#include "common/text.h"
#include "common/unicode.h"
#include "markdown/source_ranges.h"

namespace mdspeak::markdown {

namespace {

constexpr std::string_view kLeftSingle = "\u2018";
constexpr std::string_view kRightSingle = "\u2019";
constexpr std::string_view kLeftDouble = "\u201C";
constexpr std::string_view kRightDouble = "\u201D";
constexpr std::string_view kEnDash = "\u2013";
constexpr std::string_view kEmDash = "\u2014";
constexpr std::string_view kEllipsis = "\u2026";

bool is_punctuation(char32_t cp) {
  if (cp < 0x80) {
    return (cp >= 0x21 && cp <= 0x2F) || (cp >= 0x3A && cp <= 0x40) || (cp >= 0x5B && cp <= 0x60) ||
           (cp >= 0x7B && cp <= 0x7E);
  }
  // Unicode punctuation and symbols alike.
  return (U_GET_GC_MASK(static_cast<UChar32>(cp)) & (U_GC_P_MASK | U_GC_S_MASK)) != 0;
}

// True when only indentation and block-quote markers precede `pos` on its line.
bool in_line_prefix(std::string_view s, std::size_t pos) {
  const std::size_t first = byte_order_mark_length(s);
  while (pos > first) {
    char c = s[pos - 1];
    if (c == '\n' || c == '\r') return true;
    if (c != ' ' && c != '\t' && c != '>') return false;
    --pos;
  }
  return true;
}

constexpr char32_t kNone = 0xFFFFFFFF;

char32_t char_before(std::string_view s, std::size_t pos) {
  if (pos <= byte_order_mark_length(s)) return kNone;
  std::size_t start = pos - 1;
  while (start > 0 && pos - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
    --start;
  }
  std::size_t probe = start;
  char32_t cp = unicode::next_code_point(s, probe);
  if (probe != pos) return 0xFFFD;  // broken sequence: an ordinary character
  if (cp == '>' && in_line_prefix(s, start)) return kNone;
  return cp;
}

char32_t char_after(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return kNone;
  return unicode::next_code_point(s, pos);
}

// Where the run from `i` that is copied as it is ends: at a quote, two dashes or three dots. A
// lone dash or dot is copied with its run, as it would be on its own.
std::size_t plain_end(std::string_view s, std::size_t i, std::size_t end) {
  for (;; ++i) {
    i = text::find_any<'\'', '"', '-', '.'>(s.substr(0, end), i);
    if (i >= end) return end;
    const char c = s[i];
    if (c == '\'' || c == '"') return i;
    if (c == '-' && i + 1 < end && s[i + 1] == '-') return i;
    if (c == '.' && i + 2 < end && s[i + 1] == '.' && s[i + 2] == '.') return i;
  }
}

}  // namespace

QuoteFlanking quote_flanking(std::string_view source, std::size_t pos) {
  const char quote = source[pos];
  const char32_t prev = char_before(source, pos);
  const char32_t next = char_after(source, pos + 1);
  QuoteFlanking f;
  if (next != kNone && !unicode::is_white_space(next)) {
    f.can_open = prev == kNone || unicode::is_white_space(prev) ||
                 (is_punctuation(prev) && (quote == '"' || (prev != ']' && prev != ')')));
  }
  if (prev != kNone && !unicode::is_white_space(prev)) {
    f.can_close = next == kNone || unicode::is_white_space(next) || is_punctuation(next);
  }
  return f;
}

void append_dashes(std::string& out, std::size_t count) {
  std::size_t em = 0;
  std::size_t en = 0;
  if (count % 3 == 0) {
    em = count / 3;
  } else if (count % 2 == 0) {
    en = count / 2;
  } else if (count % 3 == 2) {
    em = (count - 2) / 3;
    en = 1;
  } else {
    em = (count - 4) / 3;
    en = 2;
  }
  for (std::size_t i = 0; i < em; ++i) out.append(kEmDash);
  for (std::size_t i = 0; i < en; ++i) out.append(kEnDash);
}

void SmartPunctuation::quote(std::string_view source, std::size_t pos, bool write) {
  const char q = source[pos];
  const QuoteFlanking f = quote_flanking(source, pos);
  const std::size_t at = write ? out_.size() : std::string::npos;
  std::vector<Opener>& same = q == '\'' ? singles_ : doubles_;
  if (f.can_close && !same.empty()) {
    const Opener partner = same.back();
    same.pop_back();
    drop_from(q == '\'' ? doubles_ : singles_, partner.order);
    // A single opener becomes a left quote only now that it is paired; a double one already is.
    if (q == '\'' && partner.at != std::string::npos) {
      out_.replace(partner.at, kLeftSingle.size(), kLeftSingle);
    }
    if (write) out_.append(q == '\'' ? kRightSingle : kRightDouble);
    return;
  }
  if (f.can_open) same.push_back({next_++, at});
  if (!write) return;
  if (q == '\'') {
    out_.append(kRightSingle);
  } else {
    out_.append(f.can_open ? kLeftDouble : kRightDouble);
  }
}

void SmartPunctuation::append(std::string_view source, std::size_t pos, std::size_t length,
                              bool first_escaped, bool write) {
  const std::size_t end = pos + length;
  std::size_t i = pos;
  // Records what the bytes written since `from` came from.
  auto mapped = [&](std::size_t from, std::size_t source_begin, std::size_t source_end) {
    add_segment(segments_, from, out_.size(), source_begin, source_end);
  };
  if (first_escaped && i < end) {
    if (write) {
      out_.push_back(source[i]);
      mapped(out_.size() - 1, i, i + 1);
    }
    ++i;
  }
  while (i < end) {
    const std::size_t plain = plain_end(source, i, end);
    if (write && plain > i) {
      out_.append(source.data() + i, plain - i);
      mapped(out_.size() - (plain - i), i, plain);
    }
    i = plain;
    if (i >= end) break;
    const char c = source[i];
    const std::size_t from = out_.size();
    std::size_t next = i + 1;
    if (c == '\'' || c == '"') {
      quote(source, i, write);
    } else if (c == '-') {
      while (next < end && source[next] == '-') ++next;
      if (write) {
        if (next - i == 1) {
          out_.push_back('-');
        } else {
          append_dashes(out_, next - i);
        }
      }
    } else if (i + 2 < end && source[i + 1] == '.' && source[i + 2] == '.') {
      if (write) out_.append(kEllipsis);
      next = i + 3;
    } else if (write) {
      out_.push_back(c);
    }
    if (write) mapped(from, i, next);
    i = next;
  }
}

}  // namespace mdspeak::markdown
