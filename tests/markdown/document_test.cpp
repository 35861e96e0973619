#include <gtest/gtest.h>

#include "markdown/markdown.h"

namespace mdspeak {
namespace {

Utterance heading(const char* text) {
  return {text, 0, 1, UtteranceKind::Heading};
}
Utterance para(const char* text) {
  return {text, 0, 1, UtteranceKind::Paragraph};
}

struct SectionsCase {
  const char* name;
  std::vector<Utterance> utterances;
  std::vector<MarkdownSection> sections;
  std::optional<Utterance> title;
};

class SectionsTest : public testing::TestWithParam<SectionsCase> {};

TEST_P(SectionsTest, GroupsByHeading) {
  const SectionsCase& c = GetParam();
  ParsedMarkdownDocument doc = ParsedMarkdownDocument::from_utterances(c.utterances);
  EXPECT_EQ(doc.utterances, c.utterances);
  EXPECT_EQ(doc.sections, c.sections);
  EXPECT_EQ(doc.title, c.title);
}

INSTANTIATE_TEST_SUITE_P(
    Markdown, SectionsTest,
    testing::Values(SectionsCase{"Empty", {}, {}, std::nullopt},
                    SectionsCase{"NoHeadings",
                                 {para("a"), para("b")},
                                 {MarkdownSection{std::nullopt, {para("a"), para("b")}}},
                                 std::nullopt},
                    SectionsCase{"StartsWithHeading",
                                 {heading("H"), para("a")},
                                 {MarkdownSection{heading("H"), {para("a")}}},
                                 heading("H")},
                    SectionsCase{"HeadingsInARow",
                                 {heading("H1"), heading("H2"), para("a")},
                                 {MarkdownSection{heading("H1"), {}},
                                  MarkdownSection{heading("H2"), {para("a")}}},
                                 heading("H1")},
                    SectionsCase{"HeadingLast",
                                 {para("a"), heading("H")},
                                 {MarkdownSection{std::nullopt, {para("a")}},
                                  MarkdownSection{heading("H"), {}}},
                                 heading("H")},
                    SectionsCase{"CutBlockStaysTogether",
                                 {para("x"), heading("H"), para("one"), para("two"), heading("I")},
                                 {MarkdownSection{std::nullopt, {para("x")}},
                                  MarkdownSection{heading("H"), {para("one"), para("two")}},
                                  MarkdownSection{heading("I"), {}}},
                                 heading("H")}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace mdspeak
