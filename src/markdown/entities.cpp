#include "markdown/entities.h"

#include <algorithm>

#include "common/unicode.h"

namespace mdspeak::markdown {

std::string_view named_entity_value(std::string_view name) {
  const HtmlEntity* begin = kHtmlEntities;
  const HtmlEntity* end = kHtmlEntities + kHtmlEntityCount;
  const HtmlEntity* it = std::lower_bound(
      begin, end, name,
      [](const HtmlEntity& e, std::string_view n) { return std::string_view(e.name) < n; });
  if (it == end || std::string_view(it->name) != name) return {};
  return it->value;
}

namespace {

// Value of the digits of a numeric reference, or -1 when they are not digits.
long long parse_number(std::string_view digits, int base) {
  if (digits.empty()) return -1;
  long long value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      d = (c | 0x20) - 'a' + 10;
    } else {
      return -1;
    }
    // Anything past the Unicode range is replaced anyway; stop growing before overflow.
    value = std::min<long long>(value * base + d, 0x7FFFFFFF);
  }
  return value;
}

}  // namespace

void append_character_reference(std::string& out, std::string_view raw) {
  if (raw.size() < 3 || raw.front() != '&' || raw.back() != ';') {
    out.append(raw);
    return;
  }
  std::string_view body = raw.substr(1, raw.size() - 2);
  if (body.front() == '#') {
    std::string_view digits = body.substr(1);
    int base = 10;
    if (!digits.empty() && (digits.front() == 'x' || digits.front() == 'X')) {
      base = 16;
      digits.remove_prefix(1);
    }
    long long value = parse_number(digits, base);
    if (value < 0) {
      out.append(raw);
      return;
    }
    char32_t cp = static_cast<char32_t>(value);
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    unicode::append_utf8(out, cp);
    return;
  }
  std::string_view value = named_entity_value(body);
  if (value.empty()) {
    out.append(raw);
  } else {
    out.append(value);
  }
}

}  // namespace mdspeak::markdown
