// Builders for hand-made documents in the summary tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "markdown/markdown.h"

namespace mdspeak::test {

inline Utterance heading(std::string text, std::uint64_t start = 0, std::uint64_t end = 0) {
  return Utterance{std::move(text), start, end, UtteranceKind::Heading};
}
inline Utterance paragraph(std::string text, std::uint64_t start = 0, std::uint64_t end = 0) {
  return Utterance{std::move(text), start, end, UtteranceKind::Paragraph};
}
inline Utterance item(std::string text, std::uint64_t start = 0, std::uint64_t end = 0) {
  return Utterance{std::move(text), start, end, UtteranceKind::Item};
}

inline ParsedMarkdownDocument document(std::vector<Utterance> utterances) {
  return ParsedMarkdownDocument::from_utterances(std::move(utterances));
}

// A document of one section, `head` (if any) then `body`; read it with `section(0)`.
inline ParsedMarkdownDocument one_section(std::optional<Utterance> head,
                                          std::vector<Utterance> body) {
  if (head) body.insert(body.begin(), std::move(*head));
  return document(std::move(body));
}

}  // namespace mdspeak::test
