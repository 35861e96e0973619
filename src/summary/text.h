// Text helpers of the summary: a comparable "matching form" of a text and the tests built on it,
// and the shaping of sentences for speech.
//
// The matching form keeps only alphanumeric characters (Unicode Alphabetic or Numeric) and single
// spaces: every other character becomes a word break and only ASCII capitals are lowered, so the
// result is stable and cheap to compare against the lower-case keyword lists.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "language/language.h"

namespace mdspeak {

// Alphanumerics kept (A-Z lowered), anything else a break; words joined by one space.
std::string normalize_for_matching(std::string_view text);

// True when some keyword occurs in `text` as a whole word or a whole run of words, i.e. when
// " " + text + " " contains " " + keyword + " ". `text` is expected to be a matching form.
bool contains_any(std::string_view text, std::span<const std::string_view> keywords);

// True when the matching form of `text` begins, byte for byte, with that of `phrase`. No word
// end is required, and an empty phrase always matches.
bool starts_with_phrase(std::string_view text, std::string_view phrase);

// True when the heading's matching form is one of the generic headings ("overview", "readme"...).
// In Spanish text, their Spanish counterparts ("introducción", "índice"...) are generic too,
// whatever their case.
bool is_generic_heading(std::string_view heading,
                        SupportedLanguage language = SupportedLanguage::English);

// `text` without every trailing ".", "!" and "?".
std::string_view strip_trailing_sentence_ends(std::string_view text);

// Trimmed, white space collapsed to single spaces, ended by ".", "!" or "?" (a "." is added when
// none is there). Empty for a text of white space only.
std::string normalize_sentence(std::string_view text);

// Trimmed; an ordinary capitalised first word (an upper-case letter followed by a lower-case
// one) gets its first letter lowered so the sentence can continue a clause. Acronyms and single
// capitals keep their case.
std::string lowercase_sentence_start(std::string_view text);

}  // namespace mdspeak
