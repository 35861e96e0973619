#include "main/passages.h"

#include <algorithm>
#include <string_view>

namespace mdspeak {

std::vector<std::optional<SupportedLanguage>> passage_languages(
    const ParsedMarkdownDocument& document, std::optional<SupportedLanguage> document_language,
    PassageEvidence minimum) {
  const std::vector<Utterance>& utterances = document.utterances;
  const std::size_t count = utterances.size();
  std::vector<std::optional<SupportedLanguage>> languages(count, document_language);
  if (count == 0) return languages;

  // Block boundaries; the rows of a table are one block. A document without any (made from a
  // plain list of utterances) is judged utterance by utterance.
  std::vector<std::size_t> starts;
  starts.reserve(document.block_starts.size() + 1);
  starts.push_back(0);
  for (std::size_t start : document.block_starts) {
    if (start == 0 || start >= count || start <= starts.back()) continue;
    const bool same_table = utterances[start].kind == UtteranceKind::TableRow &&
                            utterances[start - 1].kind == UtteranceKind::TableRow;
    if (!same_table) starts.push_back(start);
  }
  if (document.block_starts.empty()) {
    for (std::size_t i = 1; i < count; ++i) starts.push_back(i);
  }
  starts.push_back(count);

  std::vector<std::string_view> texts;
  auto gather = [&](std::size_t from, std::size_t to) {
    texts.clear();
    for (std::size_t i = from; i < to; ++i) {
      if (utterances[i].kind != UtteranceKind::CodeBlock) texts.push_back(utterances[i].text);
    }
  };

  const std::size_t sections = document.section_count();
  std::size_t block = 0;
  for (std::size_t s = 0; s < sections; ++s) {
    const std::size_t section_begin = document.section_starts[s];
    const std::size_t section_end = s + 1 < sections ? document.section_starts[s + 1] : count;
    gather(section_begin, section_end);
    const std::optional<SupportedLanguage> section =
        detect_supported_language(texts).or_else([&] { return document_language; });
    while (block + 1 < starts.size() && starts[block] < section_begin) ++block;
    for (; block + 1 < starts.size() && starts[block] < section_end; ++block) {
      const std::size_t from = starts[block];
      const std::size_t to = std::min(starts[block + 1], section_end);
      std::optional<SupportedLanguage> language = section;
      if (utterances[from].kind == UtteranceKind::CodeBlock) {
        language = document_language;
      } else if (utterances[from].kind != UtteranceKind::Heading) {
        gather(from, to);
        if (auto own = detect_passage_language(texts, minimum)) language = own;
      }
      std::fill(languages.begin() + static_cast<std::ptrdiff_t>(from),
                languages.begin() + static_cast<std::ptrdiff_t>(to), language);
    }
  }
  return languages;
}

}  // namespace mdspeak
