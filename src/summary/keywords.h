// The keyword lists that give sections their kind and documents their category, and a matcher
// that finds them in texts word by word, without building the texts' matching forms.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "language/language.h"
#include "summary/profile.h"

namespace mdspeak {

// The keyword list of a category (Overview..Planning; Caveat has a list too). Spanish lists hold
// the English keywords and their Spanish counterparts.
std::span<const std::string_view> keyword_list(
    SectionKind kind, SupportedLanguage language = SupportedLanguage::English);

// Finds keywords in a sequence of texts read as joined by single spaces, i.e. in the matching
// form of that joined text. The words of the matching form are the runs of alphanumeric
// characters of the texts (ASCII capitals lowered), so each run is checked against the
// keywords ending with that word, and the runs before it for keywords of several words.
class KeywordMatcher {
 public:
  explicit KeywordMatcher(SupportedLanguage language = SupportedLanguage::English)
      : spanish_(language == SupportedLanguage::Spanish) {}

  // Reads one more text. Returns its number of white-space separated pieces (its length in
  // words as a reader counts them, not the number of runs matched).
  std::size_t feed(std::string_view text);

  // The first kind, in test order (planning, status, caveat, setup, reference, runbook,
  // overview), whose list occurred; General when none did. This is the first list that
  // `contains_any` finds in the matching form of the joined texts.
  SectionKind kind() const;

 private:
  std::string_view previous_[2];  // the last run read, then the one before it
  unsigned found_ = 0;            // bit per SectionKind
  unsigned wanted_ = ~0u;         // kinds that could still change `kind()`
  bool spanish_ = false;
};

}  // namespace mdspeak
