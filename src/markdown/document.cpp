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
  std::size_t headings = 0;
  for (const Utterance& u : utterances) headings += u.kind == UtteranceKind::Heading ? 1 : 0;
  const bool untitled_start =
      !utterances.empty() && utterances.front().kind != UtteranceKind::Heading;
  doc.section_starts.reserve(headings + (untitled_start ? 1 : 0));
  if (untitled_start) doc.section_starts.push_back(0);
  for (std::size_t i = 0; i < utterances.size(); ++i) {
    if (utterances[i].kind != UtteranceKind::Heading) continue;
    if (!doc.title) doc.title = utterances[i];
    doc.section_starts.push_back(i);
  }
  doc.utterances = std::move(utterances);
  return doc;
}

MarkdownSection ParsedMarkdownDocument::section(std::size_t index) const {
  const std::size_t from = section_starts[index];
  const std::size_t to =
      index + 1 < section_starts.size() ? section_starts[index + 1] : utterances.size();
  MarkdownSection s;
  const bool headed = utterances[from].kind == UtteranceKind::Heading;
  if (headed) s.heading = &utterances[from];
  s.utterances =
      std::span(utterances).subspan(from + (headed ? 1 : 0), to - from - (headed ? 1 : 0));
  return s;
}

}  // namespace mdspeak
