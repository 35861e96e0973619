// Spoken summaries: a few English sentences about what a Markdown document is and holds.
//
// `summarize_document` profiles every section by fixed keyword lists and scores, classifies the
// document into one of six categories, picks up to three sections and phrases one paragraph for
// each. Each paragraph is an `Utterance` of kind `Paragraph` carrying the byte range of the
// section it speaks about. Pure and deterministic; cannot fail.
#pragma once

#include <vector>

#include "markdown/markdown.h"

namespace mdspeak {

std::vector<Utterance> summarize_document(const ParsedMarkdownDocument& document);

}  // namespace mdspeak
