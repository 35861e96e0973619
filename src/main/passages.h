// The language of each passage of a document read the natural way, so that a mixed document is
// spoken by a voice of each passage's language.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "language/language.h"
#include "markdown/markdown.h"

namespace mdspeak {

// One language per utterance of `document` (read the natural way). Each block (a paragraph, a
// list item's text, a block quote, a table) is judged on its own text when it gives `minimum`
// evidence; one with less, or one the detector cannot tell, takes its section's
// language (judged on the whole section), then `document_language`. A heading takes its
// section's language; a code block announcement, worded in the document's language, that one.
std::vector<std::optional<SupportedLanguage>> passage_languages(
    const ParsedMarkdownDocument& document, std::optional<SupportedLanguage> document_language,
    PassageEvidence minimum = kPassageEvidence);

}  // namespace mdspeak
