// The properties every word range of a parsed document must have, shared by the unit tests and
// the corpus check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "markdown/markdown.h"

namespace mdspeak::testing_support {

struct Word {
  std::size_t text_start;
  std::size_t text_end;
};

// The runs of non-space bytes of an utterance text (whose only white space is single spaces).
inline std::vector<Word> words_of(std::string_view text) {
  std::vector<Word> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == ' ') ++i;
    std::size_t start = i;
    while (i < text.size() && text[i] != ' ') ++i;
    if (i > start) words.push_back({start, i});
  }
  return words;
}

inline bool is_plain_word(std::string_view word) {
  for (char c : word) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Problems found, one line each: a word range outside its utterance's, out of order or
// overlapping the one before, or a word of only ASCII letters and digits whose source bytes are
// not the word. The words of a task prefix may map to the item's box instead.
inline std::vector<std::string> source_map_problems(std::string_view source,
                                                    const ParsedMarkdownDocument& doc) {
  std::vector<std::string> problems;
  for (std::size_t u = 0; u < doc.utterances.size(); ++u) {
    const Utterance& utterance = doc.utterances[u];
    std::size_t prefix = 0;
    if (utterance.kind == UtteranceKind::Item) {
      for (std::string_view p : {kTodoPrefix, kDonePrefix}) {
        if (std::string_view(utterance.text).starts_with(p)) prefix = p.size() + 1;
      }
    }
    std::uint64_t previous_end = utterance.start_offset;
    for (const Word& w : words_of(utterance.text)) {
      const std::string_view word =
          std::string_view(utterance.text).substr(w.text_start, w.text_end - w.text_start);
      const SourceSpan r = doc.source_map.source_range(u, w.text_start, w.text_end);
      auto report = [&](std::string_view what) {
        problems.push_back(std::string(what) + ": utterance " + std::to_string(u) + " word '" +
                           std::string(word) + "' at " + std::to_string(r.first) + ".." +
                           std::to_string(r.second));
      };
      if (r.first > r.second || r.second > source.size()) {
        report("bad range");
        continue;
      }
      const std::string_view bytes = source.substr(r.first, r.second - r.first);
      // A task prefix maps to the box, or to nothing where that is not found; text that only
      // reads like a prefix maps as usual.
      if (w.text_start < prefix &&
          (bytes.empty() || (bytes.size() == 3 && bytes.front() == '[' && bytes.back() == ']'))) {
        continue;
      }
      if (r.first < utterance.start_offset || r.second > utterance.end_offset) report("outside");
      if (r.first < previous_end) report("overlap");
      previous_end = r.second;
      // Letters and digits can also come from character references (`&#115;` is "s").
      if (is_plain_word(word) && bytes != word && bytes.find('&') == std::string_view::npos) {
        report("source differs");
      }
    }
  }
  return problems;
}

// Whether two readings of one source agree: the same utterances, and every word of them mapped
// to the same source bytes.
inline bool same_reading(const ParsedMarkdownDocument& a, const ParsedMarkdownDocument& b) {
  if (a.utterances != b.utterances || a.section_starts != b.section_starts) return false;
  for (std::size_t u = 0; u < a.utterances.size(); ++u) {
    for (const Word& w : words_of(a.utterances[u].text)) {
      if (a.source_map.source_range(u, w.text_start, w.text_end) !=
          b.source_map.source_range(u, w.text_start, w.text_end)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace mdspeak::testing_support
