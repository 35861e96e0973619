// Spoken summaries: a few sentences about what a Markdown document is and holds, in English or,
// for a Spanish document when the client asked for it, in Spanish.
//
// `summarize_document` profiles every section by fixed keyword lists and scores, classifies the
// document into one of six categories, picks up to three sections and phrases one paragraph for
// each. Each paragraph is an `Utterance` of kind `Paragraph` carrying the byte range of the
// section it speaks about. Pure and deterministic; cannot fail.
#pragma once

#include <vector>

#include "language/language.h"
#include "markdown/markdown.h"

namespace mdspeak {

// A Spanish summary is classified with the Spanish keywords as well and phrased in Spanish.
std::vector<Utterance> summarize_document(const ParsedMarkdownDocument& document,
                                          SupportedLanguage language = SupportedLanguage::English);

}  // namespace mdspeak
