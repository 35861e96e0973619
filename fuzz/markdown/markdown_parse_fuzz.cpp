// Any input must read without crashing, alike with md4c beside the walk or not, and every
// utterance must keep its promises: non-empty text without leading, trailing or doubled white
// space, and a span inside the source. When the input is valid UTF-8, the text must be too and
// both ends of the span must fall on character boundaries. Every word's source range must hold
// what the source map promises (see tests/markdown/source_map_check.h). After leading paragraphs
// of up to 600 bytes, the input must read the same, shifted (see tests/markdown/padding_check.h).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/unicode.h"
#include "markdown/markdown.h"
#include "markdown/source_ranges.h"
#include "markdown/walker.h"
#include "padding_check.h"
#include "source_map_check.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool is_boundary(std::string_view s, std::uint64_t pos) {
  return pos == s.size() || (static_cast<unsigned char>(s[pos]) & 0xC0) != 0x80;
}

void check_text(std::string_view text, bool valid) {
  check(!text.empty());
  if (valid) check(mdspeak::unicode::is_valid_utf8(text));
  std::size_t pos = 0;
  bool previous_space = true;  // a leading white space counts as doubled
  while (pos < text.size()) {
    char32_t cp = mdspeak::unicode::next_code_point(text, pos);
    bool space = mdspeak::unicode::is_white_space(cp);
    if (space) check(cp == U' ' && !previous_space);
    previous_space = space;
  }
  check(!previous_space);
}

void check_utterance(const mdspeak::Utterance& u, std::string_view source, bool valid) {
  check_text(u.text, valid);
  check(u.start_offset <= u.end_offset);
  check(u.end_offset <= source.size());
  if (valid) check(is_boundary(source, u.start_offset) && is_boundary(source, u.end_offset));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view source(reinterpret_cast<const char*>(data), size);
  const bool valid = mdspeak::unicode::is_valid_utf8(source);
  mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(source);
  std::size_t in_sections = 0;
  for (const mdspeak::Utterance& u : doc.utterances) check_utterance(u, source, valid);
  for (std::size_t i = 0; i < doc.section_count(); ++i) {
    const mdspeak::MarkdownSection s = doc.section(i);
    check(s.heading != nullptr || i == 0);
    in_sections += s.utterances.size() + (s.heading ? 1 : 0);
  }
  check(in_sections == doc.utterances.size());
  std::string buffer(source);
  check(mdspeak::parse_markdown_document_in_place(buffer).utterances == doc.utterances);
  check(mdspeak::testing_support::source_map_problems(source, doc).empty());
  check(mdspeak::testing_support::same_reading(
      doc,
      mdspeak::markdown::parse_markdown_document(source, mdspeak::markdown::Reading::TwoThreads)));
  // Front matter and a byte order mark are only read at the very start.
  if (mdspeak::markdown::unread_prefix_length(source) == 0) {
    const std::size_t padding = (size * 2654435761u + (size > 0 ? data[0] : 0)) % 601;
    std::string padded;
    const std::size_t paragraphs =
        mdspeak::testing_support::append_padding(padded, padding, size % 2 == 0);
    padded.append(source);
    check(mdspeak::testing_support::reads_alike_shifted(
        doc, mdspeak::parse_markdown_document(padded), paragraphs, padding));
  }
  // The natural reading: the same promises, starts in source order, and alike on two threads.
  const mdspeak::ParsedMarkdownDocument natural =
      mdspeak::parse_markdown_document(source, mdspeak::ReadingMode::Natural);
  for (std::size_t i = 0; i < natural.utterances.size(); ++i) {
    check_utterance(natural.utterances[i], source, valid);
    if (i > 0) check(natural.utterances[i - 1].start_offset <= natural.utterances[i].start_offset);
  }
  check(mdspeak::testing_support::same_reading(
      natural, mdspeak::markdown::parse_markdown_document(
                   source, mdspeak::markdown::Reading::TwoThreads, mdspeak::ReadingMode::Natural)));
  return 0;
}
