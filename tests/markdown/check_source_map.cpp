// Reads each Markdown file named on the command line and checks the word ranges of its
// utterances (see source_map_check.h). Prints every problem; exits 1 when there is any.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "markdown/markdown.h"
#include "source_map_check.h"

int main(int argc, char** argv) {
  std::size_t problems = 0;
  std::size_t words = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    const std::string source(std::istreambuf_iterator<char>(in), {});
    const mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(source);
    for (const mdspeak::Utterance& u : doc.utterances) {
      words += mdspeak::testing_support::words_of(u.text).size();
    }
    for (const std::string& p : mdspeak::testing_support::source_map_problems(source, doc)) {
      std::printf("%s: %s\n", argv[i], p.c_str());
      ++problems;
    }
  }
  std::printf("%d files, %zu words, %zu problems\n", argc - 1, words, problems);
  return problems == 0 ? 0 : 1;
}
