// HTML character references (`&amp;`, `&copy;`, `&#233;`, `&#x1F600;`) as Markdown reads them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mdspeak::markdown {

struct HtmlEntity {
  const char* name;   // without '&' and ';'
  const char* value;  // UTF-8, one or two characters
};

// Every HTML5 named reference, sorted by name in byte order (generated table).
extern const HtmlEntity kHtmlEntities[];
extern const std::size_t kHtmlEntityCount;

// The UTF-8 value of a named reference given without '&' and ';', or empty when unknown.
std::string_view named_entity_value(std::string_view name);

// Appends what the reference `raw` (the whole `&...;`) stands for. Numeric references that are
// zero, surrogates or beyond U+10FFFF give U+FFFD; an unknown name or anything that is not a
// reference is appended unchanged.
void append_character_reference(std::string& out, std::string_view raw);

}  // namespace mdspeak::markdown
