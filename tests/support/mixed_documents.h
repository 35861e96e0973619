// Mixed English/Spanish Markdown documents assembled from labelled passages, and the score of
// the per-passage language detection on them: shared by the accuracy test and the benchmark,
// which read different halves of the labelled set (scripts/make-passage-samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "language/language.h"

namespace mdspeak::testing {

struct LabelledPassage {
  SupportedLanguage language;
  std::string text;
};

// "<en|es>\t<text>" lines; others are skipped.
std::vector<LabelledPassage> load_passages(const char* path);

struct ExpectedBlock {
  std::uint64_t start = 0;  // source bytes of the block
  std::uint64_t end = 0;
  SupportedLanguage language;
  std::size_t words = 0;
};

struct MixedDocument {
  std::string markdown;
  std::vector<ExpectedBlock> blocks;  // headings left out: they follow their section
};

// Documents of a few sections, each in one language and headed by words of it, whose blocks
// (paragraphs, list items, block quotes) are passages of the section's language, one in
// `other_every` of the other (none when 0), one in five cut to its first words (1 to 7); every
// passage is used once. Seeded: the same passages give the same documents.
std::vector<MixedDocument> assemble_mixed_documents(std::vector<LabelledPassage> passages,
                                                    std::uint32_t seed, unsigned other_every = 4);

struct Tally {
  std::size_t right = 0;
  std::size_t total = 0;
  double accuracy() const { return total == 0 ? 0.0 : static_cast<double>(right) / total; }
};

struct Score {
  Tally short_;                     // blocks of fewer than 8 words
  Tally mid;                        // blocks of 8 to 19 words
  Tally long_;                      // of 20 words or more
  std::vector<std::string> misses;  // "es as en: text" for the first few wrong blocks
};

// Loads each document in the natural reading, as the service does, and counts the blocks whose
// utterances all got the block's language, judging a block alone from `minimum` evidence on.
Score score_documents(const std::vector<MixedDocument>& documents,
                      PassageEvidence minimum = kPassageEvidence);

}  // namespace mdspeak::testing
