#include "summary/text.h"

#include <algorithm>
#include <array>

#include "common/text.h"
#include "common/unicode.h"

namespace mdspeak {
namespace {

constexpr std::array<std::string_view, 18> kGenericHeadings = {
    "about",     "guide",       "index",        "notes",        "usage",         "readme",
    "details",   "summary",     "appendix",     "commands",     "contents",      "overview",
    "reference", "development", "how it works", "introduction", "configuration", "current scope",
};

constexpr std::array<std::string_view, 21> kSpanishGenericHeadings = {
    "acerca de",      "guía",       "índice",        "notas",          "uso",
    "léame",          "detalles",   "resumen",       "apéndice",       "comandos",
    "órdenes",        "contenido",  "contenidos",    "visión general", "descripción general",
    "referencia",     "desarrollo", "cómo funciona", "introducción",   "configuración",
    "alcance actual",
};

}  // namespace

namespace {

// Writes the matching form of `text` to `out`, which has room for `capacity` bytes. Returns the
// form's length, or `capacity + 1` as soon as the form would not fit.
std::size_t write_matching_form(std::string_view text, char* out, std::size_t capacity) {
  std::size_t size = 0;
  bool pending_space = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t here = pos;
    const auto byte = static_cast<unsigned char>(text[pos]);
    bool keep;
    if (byte < 0x80) {
      ++pos;
      keep = (byte >= '0' && byte <= '9') || ((byte | 0x20) >= 'a' && (byte | 0x20) <= 'z');
    } else {
      keep = unicode::is_alphanumeric(unicode::next_code_point(text, pos));
    }
    if (!keep) {
      pending_space = size > 0;
      continue;
    }
    const std::size_t needed = (pending_space ? 1 : 0) + (pos - here);
    if (capacity - size < needed) return capacity + 1;
    if (pending_space) {
      out[size++] = ' ';
      pending_space = false;
    }
    if (byte < 0x80) {
      // Only ASCII capitals are lowered.
      out[size++] = static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte | 0x20 : byte);
    } else {
      for (std::size_t i = here; i < pos; ++i) out[size++] = text[i];
    }
  }
  return size;
}

}  // namespace

std::string normalize_for_matching(std::string_view text) {
  // The form is never longer than the text.
  std::string out(text.size(), ' ');
  out.resize(write_matching_form(text, out.data(), out.size()));
  return out;
}

std::string_view strip_trailing_sentence_ends(std::string_view text) {
  while (!text.empty() && text::ends_sentence(text.back())) text.remove_suffix(1);
  return text;
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

bool is_generic_heading(std::string_view heading, SupportedLanguage language) {
  if (language == SupportedLanguage::Spanish) {
    if (is_generic_heading(heading)) return true;
    // Spanish headings are often written in capitals, accents included ("ÍNDICE").
    const std::string form = normalize_for_matching(heading);
    std::string lowered;
    std::size_t pos = 0;
    while (pos < form.size())
      lowered += unicode::full_lowercase(unicode::next_code_point(form, pos));
    return std::find(kSpanishGenericHeadings.begin(), kSpanishGenericHeadings.end(), lowered) !=
           kSpanishGenericHeadings.end();
  }
  // Every section asks this: a form longer than the longest generic heading is not built whole.
  constexpr std::size_t longest = 13;  // "current scope"
  char buffer[longest];
  const std::size_t size = write_matching_form(heading, buffer, longest);
  if (size > longest) return false;
  const std::string_view form(buffer, size);
  for (std::string_view generic : kGenericHeadings) {
    if (form == generic) return true;
  }
  return false;
}

std::string normalize_sentence(std::string_view text) {
  std::string out = text::collapse_white_space(text);
  if (!out.empty() && !text::ends_sentence(out.back())) out.push_back('.');
  return out;
}

std::string lowercase_sentence_start(std::string_view text) {
  const std::string_view trimmed = text::trim(text);
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
