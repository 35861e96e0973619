#include "markdown/markdown.h"

namespace mdspeak {

ParsedMarkdownDocument ParsedMarkdownDocument::from_utterances(std::vector<Utterance> utterances) {
  ParsedMarkdownDocument doc;
  MarkdownSection current;
  for (const Utterance& u : utterances) {
    if (u.kind != UtteranceKind::Heading) {
      current.utterances.push_back(u);
      continue;
    }
    if (!doc.title) doc.title = u;
    if (current.heading || !current.utterances.empty()) doc.sections.push_back(std::move(current));
    current = MarkdownSection{u, {}};
  }
  if (current.heading || !current.utterances.empty()) doc.sections.push_back(std::move(current));
  doc.utterances = std::move(utterances);
  return doc;
}

}  // namespace mdspeak
