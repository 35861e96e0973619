// Per-passage language detection on mixed English/Spanish documents assembled from the half of
// the labelled passages that the tests never read (bench/language/data/passages.tsv), for a
// range of minimum evidence: the measurement behind kPassageEvidence (doc/languages.md).
//
// Usage: bench_passage_language [PASSAGES]
#include <cstdio>
#include <utility>
#include <vector>

#include "language/language.h"
#include "mixed_documents.h"

int main(int argc, char** argv) {
  using namespace mdspeak;
  const char* path = argc > 1 ? argv[1] : MDSPEAK_PASSAGES;
  auto passages = testing::load_passages(path);
  if (passages.empty()) {
    std::fprintf(stderr, "no passages in %s\n", path);
    return 1;
  }
  // The letters with the chosen margin, then the margin with the chosen letters.
  std::vector<PassageEvidence> tried;
  for (std::size_t letters : {1, 5, 8, 12, 20, 30, 40, 100, 1000000}) {
    tried.push_back({letters, kPassageEvidence.margin});
  }
  for (double margin : {0.0, 2.0, 4.0, 6.0, 8.0, 10.0, 12.0, 16.0, 24.0}) {
    tried.push_back({kPassageEvidence.letters, margin});
  }
  for (unsigned other_every : {4u, 0u}) {
    std::printf(other_every ? "\nOne block in %u in the other language than its section's\n"
                            : "\nEvery block in its section's language\n",
                other_every);
    std::printf("letters margin | 1-7 words | 8-19 words | 20+ words\n");
    for (const PassageEvidence& minimum : tried) {
      testing::Tally short_, mid, long_;
      // Several assemblies, so a passage is seen among different neighbours.
      for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        const auto score = testing::score_documents(
            testing::assemble_mixed_documents(passages, seed, other_every), minimum);
        for (auto [into, from] : {std::pair{&short_, &score.short_}, std::pair{&mid, &score.mid},
                                  std::pair{&long_, &score.long_}}) {
          into->right += from->right;
          into->total += from->total;
        }
      }
      const bool chosen =
          minimum.letters == kPassageEvidence.letters && minimum.margin == kPassageEvidence.margin;
      std::printf("%7zu %6.1f%s | %5.1f%% of %zu | %5.1f%% of %zu | %5.1f%% of %zu\n",
                  minimum.letters, minimum.margin, chosen ? "*" : " ", 100 * short_.accuracy(),
                  short_.total, 100 * mid.accuracy(), mid.total, 100 * long_.accuracy(),
                  long_.total);
    }
  }
  return 0;
}
