#include "markdown/markdown.h"
#include "markdown/source_map.h"

namespace mdspeak {

ParsedMarkdownDocument ParsedMarkdownDocument::from_utterances(std::vector<Utterance> utterances) {
  TextSourceMap map;
  markdown::SourceMapBuilder builder(map);
  for (const Utterance& u : utterances) builder.add({u.start_offset, u.end_offset}, {});
  return markdown::assemble_document(std::move(utterances), std::move(map));
}

ParsedMarkdownDocument markdown::assemble_document(std::vector<Utterance> utterances,
                                                   TextSourceMap map) {
  ParsedMarkdownDocument doc;
  doc.source_map = std::move(map);
  // Count first so that every list is allocated once: documents run to many thousands.
  std::size_t headings = 0;
  for (const Utterance& u : utterances) headings += u.kind == UtteranceKind::Heading ? 1 : 0;
  doc.sections.reserve(headings + 1);
  auto reserve_section = [&](MarkdownSection& section, std::size_t from) {
    std::size_t n = 0;
    while (from + n < utterances.size() && utterances[from + n].kind != UtteranceKind::Heading) ++n;
    section.utterances.reserve(n);
  };

  MarkdownSection current;
  reserve_section(current, 0);
  for (std::size_t i = 0; i < utterances.size(); ++i) {
    const Utterance& u = utterances[i];
    if (u.kind != UtteranceKind::Heading) {
      current.utterances.push_back(u);
      continue;
    }
    if (!doc.title) doc.title = u;
    if (current.heading || !current.utterances.empty()) doc.sections.push_back(std::move(current));
    current = MarkdownSection{u, {}};
    reserve_section(current, i + 1);
  }
  if (current.heading || !current.utterances.empty()) doc.sections.push_back(std::move(current));
  doc.utterances = std::move(utterances);
  return doc;
}

}  // namespace mdspeak
