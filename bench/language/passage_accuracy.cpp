// Per-passage language detection on mixed English/Spanish documents assembled from the half of
// the labelled passages that the tests never read (bench/language/data/passages.tsv), for a
// range of minimum lengths: the measurement behind kPassageMinimumLetters (doc/languages.md).
//
// Usage: bench_passage_language [PASSAGES]
#include <cstdio>

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
  for (unsigned other_every : {4u, 0u}) {
    std::printf(other_every ? "\nOne block in %u in the other language than its section's\n"
                            : "\nEvery block in its section's language\n",
                other_every);
    std::printf("minimum letters | 1-7 words | 8-19 words | 20+ words\n");
    for (std::size_t minimum : {1, 5, 8, 10, 12, 15, 20, 25, 30, 40, 60, 100, 1000000}) {
      testing::Tally short_;
      testing::Tally mid;
      testing::Tally long_;
      // Several assemblies, so a passage is seen among different neighbours.
      for (std::uint32_t seed = 1; seed <= 5; ++seed) {
        const auto score = testing::score_documents(
            testing::assemble_mixed_documents(passages, seed, other_every), minimum);
        short_.right += score.short_.right;
        short_.total += score.short_.total;
        mid.right += score.mid.right;
        mid.total += score.mid.total;
        long_.right += score.long_.right;
        long_.total += score.long_.total;
      }
      std::printf("%15zu%s | %5.1f%% of %zu | %5.1f%% of %zu | %5.1f%% of %zu\n", minimum,
                  minimum == kPassageMinimumLetters ? "*" : " ", 100 * short_.accuracy(),
                  short_.total, 100 * mid.accuracy(), mid.total, 100 * long_.accuracy(),
                  long_.total);
    }
  }
  return 0;
}
