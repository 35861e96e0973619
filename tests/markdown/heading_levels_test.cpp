// Heading levels: ATX and setext, nested in containers, and a long heading cut in several
// utterances; the same on one thread and on two.
#include <gtest/gtest.h>

#include "markdown/markdown.h"
#include "markdown/walker.h"

namespace mdspeak {
namespace {

TEST(HeadingLevels, EachHeadingUtteranceHasItsLevel) {
  std::string source =
      "# One\n\ntext\n\n### Three\n\nSetext two\n----------\n\n> ###### Six in a quote\n\n"
      "Setext one\n===\n\n- ## Two in an item\n";
  const std::vector<std::uint8_t> expected = {1, 3, 2, 6, 1, 2};
  for (auto reading : {markdown::Reading::OneThread, markdown::Reading::TwoThreads}) {
    const ParsedMarkdownDocument doc = markdown::parse_markdown_document(source, reading);
    EXPECT_EQ(doc.heading_levels, expected);
  }
  // A heading long enough to be cut into several utterances gives each of them its level.
  std::string long_heading = "## ";
  for (int i = 0; i < 400; ++i) long_heading += "word" + std::to_string(i) + ". ";
  const ParsedMarkdownDocument doc = parse_markdown_document(long_heading + "\n\n# After\n");
  std::size_t headings = 0;
  for (const Utterance& u : doc.utterances) headings += u.kind == UtteranceKind::Heading;
  ASSERT_GT(headings, 2u);
  ASSERT_EQ(doc.heading_levels.size(), headings);
  EXPECT_EQ(doc.heading_levels.back(), 1);
  EXPECT_EQ(doc.heading_levels.front(), 2);
}

}  // namespace
}  // namespace mdspeak
