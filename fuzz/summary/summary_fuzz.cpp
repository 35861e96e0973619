// Arbitrary bytes read as Markdown, then summarised. Every summary must be speakable: at most
// three paragraphs, each a sentence with single inner spaces and none at its edges, over a byte
// range of the source; and summarising the same document twice gives the same result.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "invariants.h"
#include "markdown/markdown.h"
#include "summary/summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const mdspeak::ParsedMarkdownDocument document = mdspeak::parse_markdown_document(source);
  const auto summary = mdspeak::summarize_document(document);

  auto problems = mdspeak::summary_check::summary_problems(summary);
  for (const auto& paragraph : summary) {
    if (paragraph.end_offset > size) problems.push_back("range past the end of the source");
  }
  if (document.utterances.empty() != summary.empty()) {
    problems.push_back("summary emptiness differs from the document's");
  }
  if (mdspeak::summarize_document(document) != summary) problems.push_back("not deterministic");
  if (!problems.empty()) {
    for (const auto& p : problems) std::fprintf(stderr, "%s\n", p.c_str());
    std::abort();
  }
  return 0;
}
