// Reading a document after leading paragraphs: it must read as alone, shifted by the padding.
// Shared by the unit tests and the fuzz target.
#pragma once

#include <algorithm>
#include <string>

#include "markdown/markdown.h"
#include "source_map_check.h"

namespace mdspeak::testing_support {

// Appends leading paragraphs of exactly `bytes` bytes, each followed by a blank line: short ones
// (many blocks, so md4c's block store grows at other places) or one long one. Fewer than three
// bytes are blank lines. Gives the number of paragraphs, each one utterance.
inline std::size_t append_padding(std::string& out, std::size_t bytes, bool short_paragraphs) {
  std::size_t paragraphs = 0;
  while (bytes >= 3) {
    std::size_t size = short_paragraphs ? std::min<std::size_t>(bytes, 40) : bytes;
    if (bytes - size < 3 && bytes - size > 0) size = bytes - 3;  // room for one more
    std::string text(size - 2, 'p');
    for (std::size_t i = 5; i + 1 < text.size(); i += 6) text[i] = ' ';
    out += text;
    out += "\n\n";
    bytes -= size;
    ++paragraphs;
  }
  out.append(bytes, '\n');
  return paragraphs;
}

// Whether `padded`, read from `padding` bytes of `paragraphs` leading paragraphs and then the
// source of `alone`, holds those paragraphs and then the utterances of `alone`, their ranges and
// word ranges shifted by the padding.
inline bool reads_alike_shifted(const ParsedMarkdownDocument& alone,
                                const ParsedMarkdownDocument& padded, std::size_t paragraphs,
                                std::size_t padding) {
  if (padded.utterances.size() != paragraphs + alone.utterances.size()) return false;
  for (std::size_t i = 0; i < alone.utterances.size(); ++i) {
    const Utterance& u = padded.utterances[paragraphs + i];
    Utterance want = alone.utterances[i];
    want.start_offset += padding;
    want.end_offset += padding;
    if (u != want) return false;
    for (const Word& w : words_of(u.text)) {
      const SourceSpan a = alone.source_map.source_range(i, w.text_start, w.text_end);
      const SourceSpan b = padded.source_map.source_range(paragraphs + i, w.text_start, w.text_end);
      if (SourceSpan{a.first + padding, a.second + padding} != b) return false;
    }
  }
  return true;
}

}  // namespace mdspeak::testing_support
