// Properties every summary must have, whatever the document: shared by the unit tests, the
// fuzz target and the tool that summarises the Markdown files found on a machine.
#pragma once

#include <string>
#include <vector>

#include "common/text.h"
#include "common/unicode.h"
#include "markdown/markdown.h"

namespace mdspeak::summary_check {

// Empty when the summary is sound, otherwise one line per broken property.
inline std::vector<std::string> summary_problems(const std::vector<Utterance>& summary) {
  std::vector<std::string> problems;
  if (summary.size() > 3) problems.push_back("more than three paragraphs");
  for (std::size_t i = 0; i < summary.size(); ++i) {
    const Utterance& p = summary[i];
    const std::string where = "paragraph " + std::to_string(i) + ": ";
    if (p.kind != UtteranceKind::Paragraph) problems.push_back(where + "kind is not paragraph");
    if (p.end_offset < p.start_offset) problems.push_back(where + "end before start");
    if (p.text.empty()) {
      problems.push_back(where + "empty text");
      continue;
    }
    const char last = p.text.back();
    if (last != '.' && last != '!' && last != '?') {
      problems.push_back(where + "does not end a sentence: " + p.text);
    }
    if (text::trim(p.text).size() != p.text.size()) {
      problems.push_back(where + "white space at an edge: " + p.text);
    }
    bool previous_space = false;
    std::size_t pos = 0;
    while (pos < p.text.size()) {
      const char32_t cp = unicode::next_code_point(p.text, pos);
      const bool space = unicode::is_white_space(cp);
      if (space && (previous_space || cp != U' ')) {
        problems.push_back(where + "doubled or unusual white space: " + p.text);
        break;
      }
      previous_space = space;
    }
  }
  return problems;
}

}  // namespace mdspeak::summary_check
