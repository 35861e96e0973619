#include "summary/text.h"

#include <array>

#include "common/unicode.h"

namespace mdspeak {
namespace {

constexpr std::array<std::string_view, 18> GENERIC_HEADINGS = {
    "about",     "guide",       "index",        "notes",        "usage",         "readme",
    "details",   "summary",     "appendix",     "commands",     "contents",      "overview",
    "reference", "development", "how it works", "introduction", "configuration", "current scope",
};

bool is_sentence_end(char c) {
  return c == '.' || c == '!' || c == '?';
}

}  // namespace

std::string normalize_for_matching(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t here = pos;
    const auto byte = static_cast<unsigned char>(text[pos]);
    bool keep = false;
    if (byte < 0x80) {
      // ASCII fast path: only letters and digits are alphanumeric.
      ++pos;
      keep = (byte >= '0' && byte <= '9') || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z');
    } else {
      keep = unicode::is_alphanumeric(unicode::next_code_point(text, pos));
    }
    if (!keep) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) {
      out.push_back(' ');
      pending_space = false;
    }
    if (byte < 0x80) {
      out.push_back(byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte | 0x20)
                                               : static_cast<char>(byte));
    } else {
      out.append(text.substr(here, pos - here));
    }
  }
  return out;
}

bool contains_any(std::string_view text, std::span<const std::string_view> keywords) {
  // Searching for the keyword itself and checking its two neighbours is the padded search
  // without building the padded strings, and avoids scanning for the (very common) space.
  for (std::string_view keyword : keywords) {
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t at = text.find(keyword, from);
      if (at == std::string_view::npos) break;
      const std::size_t end = at + keyword.size();
      const bool left = at == 0 || text[at - 1] == ' ';
      const bool right = end == text.size() || text[end] == ' ';
      if (left && right) return true;
      from = at + 1;
    }
  }
  return false;
}

bool starts_with_phrase(std::string_view text, std::string_view phrase) {
  return normalize_for_matching(text).starts_with(normalize_for_matching(phrase));
}

bool is_generic_heading(std::string_view heading) {
  const std::string form = normalize_for_matching(heading);
  for (std::string_view generic : GENERIC_HEADINGS) {
    if (form == generic) return true;
  }
  return false;
}

std::string normalize_sentence(std::string_view text) {
  // Line feeds are White_Space, so collapsing also turns them into single spaces.
  std::string out = unicode::collapse_white_space(text);
  if (out.empty()) return out;
  if (!is_sentence_end(out.back())) out.push_back('.');
  return out;
}

std::string lowercase_sentence_start(std::string_view text) {
  const std::string_view trimmed = unicode::trim(text);
  std::size_t pos = 0;
  if (trimmed.empty()) return std::string();
  const char32_t first = unicode::next_code_point(trimmed, pos);
  const std::size_t rest = pos;
  if (pos >= trimmed.size()) return std::string(trimmed);
  const char32_t second = unicode::next_code_point(trimmed, pos);
  if (!unicode::is_uppercase(first) || !unicode::is_lowercase(second)) {
    return std::string(trimmed);
  }
  std::string out = unicode::full_lowercase(first);
  out.append(trimmed.substr(rest));
  return out;
}

}  // namespace mdspeak
