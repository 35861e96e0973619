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

// A section as owned values, to compare against what the document shows.
struct Section {
  std::optional<Utterance> heading;
  std::vector<Utterance> utterances;

  bool operator==(const Section&) const = default;
};

struct SectionsCase {
  const char* name;
  std::vector<Utterance> utterances;
  std::vector<Section> sections;
  std::optional<Utterance> title;
};

class SectionsTest : public testing::TestWithParam<SectionsCase> {};

TEST_P(SectionsTest, GroupsByHeading) {
  const SectionsCase& c = GetParam();
  ParsedMarkdownDocument doc = ParsedMarkdownDocument::from_utterances(c.utterances);
  EXPECT_EQ(doc.utterances, c.utterances);
  std::vector<Section> sections;
  for (std::size_t i = 0; i < doc.section_count(); ++i) {
    const MarkdownSection s = doc.section(i);
    sections.push_back({s.heading ? std::optional(*s.heading) : std::nullopt,
                        std::vector<Utterance>(s.utterances.begin(), s.utterances.end())});
  }
  EXPECT_EQ(sections, c.sections);
  EXPECT_EQ(doc.title, c.title);
}

INSTANTIATE_TEST_SUITE_P(
    Markdown, SectionsTest,
    testing::Values(SectionsCase{"Empty", {}, {}, std::nullopt},
                    SectionsCase{"NoHeadings",
                                 {para("a"), para("b")},
                                 {Section{std::nullopt, {para("a"), para("b")}}},
                                 std::nullopt},
                    SectionsCase{"StartsWithHeading",
                                 {heading("H"), para("a")},
                                 {Section{heading("H"), {para("a")}}},
                                 heading("H")},
                    SectionsCase{"HeadingsInARow",
                                 {heading("H1"), heading("H2"), para("a")},
                                 {Section{heading("H1"), {}}, Section{heading("H2"), {para("a")}}},
                                 heading("H1")},
                    SectionsCase{"HeadingLast",
                                 {para("a"), heading("H")},
                                 {Section{std::nullopt, {para("a")}}, Section{heading("H"), {}}},
                                 heading("H")},
                    SectionsCase{"CutBlockStaysTogether",
                                 {para("x"), heading("H"), para("one"), para("two"), heading("I")},
                                 {Section{std::nullopt, {para("x")}},
                                  Section{heading("H"), {para("one"), para("two")}},
                                  Section{heading("I"), {}}},
                                 heading("H")}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace mdspeak
