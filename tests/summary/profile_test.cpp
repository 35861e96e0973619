#include "summary/profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace mdspeak {
namespace {

using test::document;
using test::heading;
using test::item;
using test::one_section;
using test::paragraph;

std::vector<Utterance> paragraphs(const std::vector<std::string>& texts) {
  std::vector<Utterance> out;
  for (const auto& t : texts) out.push_back(paragraph(t));
  return out;
}

TEST(SummaryProfileTest, KindIsTheFirstKeywordListThatMatches) {
  struct Case {
    std::optional<std::string> head;
    std::vector<std::string> body;
    SectionKind want;
  };
  const std::vector<Case> cases = {
      // Caveats are tested before setup.
      {"Installation", {"this only works on macOS"}, SectionKind::Caveat},
      // "configuration" is in two lists; setup comes first.
      {"Configuration", {}, SectionKind::Setup},
      {"The runner", {}, SectionKind::General},
      {"build-tools", {}, SectionKind::Setup},
      {"To-Do", {}, SectionKind::Planning},
      {"APIs", {}, SectionKind::General},
      {"API", {}, SectionKind::Reference},
      {"Release notes", {"Shipped the parser"}, SectionKind::Status},
      {"Roadmap", {"Status of each task"}, SectionKind::Planning},
      {"Debugging", {"How to diagnose a crash"}, SectionKind::Runbook},
      {"Environment", {"Set the error flag"}, SectionKind::Reference},
      {"Architecture", {}, SectionKind::Overview},
      {std::nullopt, {"Run the build"}, SectionKind::Setup},
      {"Quill", {"Quill is a speech tool that reads Markdown aloud to you."}, SectionKind::General},
  };
  for (const auto& c : cases) {
    auto head = c.head ? std::optional<Utterance>(heading(*c.head)) : std::nullopt;
    const auto profile = profile_section(0, one_section(head, paragraphs(c.body)).section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->kind, c.want) << c.head.value_or("(none)");
  }
}

TEST(SummaryProfileTest, LeadSentenceComesFromTheFirstNonBlankUtteranceOnly) {
  struct Case {
    std::vector<std::string> body;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {{"See below.", "A long paragraph that has plenty of words in it."}, "See below."},
      {{"Short. This one has four words! Tail"}, "This one has four words!"},
      {{"  ", "Two words"}, "Two words."},
      {{"What is this thing? Yes."}, "What is this thing?"},
      {{"Short one. Tail part has five words"}, "Tail part has five words."},
      // Every terminator cuts, even inside a number.
      {{"Version 1.2 is out now."}, "2 is out now."},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto profile =
        profile_section(0, one_section(heading("Notes"), paragraphs(c.body)).section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->lead_sentence, c.want) << (c.body.empty() ? "" : c.body.front());
  }
}

TEST(SummaryProfileTest, TaskItemsAreSplitByTheirExactPrefixes) {
  // The item lists view the document's texts: it outlives the profile.
  const ParsedMarkdownDocument doc =
      one_section(heading("Work"),
                  {item(" Done: ship parser "), item("To do: write docs"), item("done: lower case"),
                   item("To do:"), item("Done:x"), paragraph("Done: not an item")});
  const auto profile = profile_section(0, doc.section(0));
  ASSERT_TRUE(profile.has_value());
  EXPECT_EQ(profile->items,
            (std::vector<std::string_view>{"Done: ship parser", "To do: write docs",
                                           "done: lower case", "To do:", "Done:x"}));
  EXPECT_EQ(profile->completed_items, (std::vector<std::string_view>{"ship parser", "x"}));
  EXPECT_EQ(profile->remaining_items, (std::vector<std::string_view>{"write docs", ""}));
}

TEST(SummaryProfileTest, TopicIsTheHeadingOrTheLeadsFirstTenWords) {
  struct Case {
    std::optional<std::string> head;
    std::vector<std::string> body;
    std::string topic;
    bool generic;
  };
  const std::vector<Case> cases = {
      {" Parser internals ", {"Text."}, "Parser internals", false},
      {"Overview",
       {"The service reads documents and speaks them aloud to the user now."},
       "The service reads documents and speaks them aloud to the",
       true},
      {"", {"Hello world!!"}, "Hello world", false},
      {"Summary", {}, "the core implementation details", true},
      {"README", {"...!"}, "the core implementation details", true},
      {std::nullopt, {"Alpha beta."}, "Alpha beta", false},
  };
  for (const auto& c : cases) {
    auto head = c.head ? std::optional<Utterance>(heading(*c.head)) : std::nullopt;
    const auto profile = profile_section(0, one_section(head, paragraphs(c.body)).section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->topic, c.topic);
    EXPECT_EQ(profile->generic_heading, c.generic) << c.topic;
  }
}

std::string words_of(std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += i == 0 ? "word" : " word";
  return text;
}

TEST(SummaryProfileTest, ScoresFollowPositionKindLengthAndTasks) {
  struct Case {
    std::size_t index;
    ParsedMarkdownDocument doc;
    float primary;
    float secondary;
    float tertiary;
  };
  const std::vector<Case> cases = {
      // Overview kind, first section, 36 words.
      {0, one_section(heading("Architecture"), {paragraph(words_of(36))}), 5.6f, 4.5f, 1.0f},
      // Generic heading: -0.3 primary, -0.2 instead of +0.4 secondary, +0.2 tertiary; length caps.
      {2, one_section(heading("Overview"), {paragraph(words_of(72))}), 4.1f, 3.9f, 1.8f},
      // Late planning section with both kinds of task items (5 words).
      {10, one_section(heading("Tasks"), {item("Done: a"), item("To do: b")}), 1.0f + 5.0f / 36.0f,
       1.425f, 7.2f + 5.0f / 60.0f},
  };
  for (const auto& c : cases) {
    const auto profile = profile_section(c.index, c.doc.section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_FLOAT_EQ(profile->primary_score, c.primary) << c.index;
    EXPECT_FLOAT_EQ(profile->secondary_score, c.secondary) << c.index;
    EXPECT_FLOAT_EQ(profile->tertiary_score, c.tertiary) << c.index;
  }
}

TEST(SummaryProfileTest, EachKindHasItsOwnScoreBases) {
  struct Case {
    std::string head;
    SectionKind kind;
    float primary_base;
    float secondary_base;
    float tertiary_base;
  };
  const std::vector<Case> cases = {
      {"Architecture", SectionKind::Overview, 1.6f, 1.0f, 0.4f},
      {"Install", SectionKind::Setup, 1.0f, 1.5f, 1.2f},
      {"API", SectionKind::Reference, 0.8f, 1.4f, 0.4f},
      {"Debug", SectionKind::Runbook, 0.5f, 1.1f, 2.2f},
      {"Status", SectionKind::Status, 0.3f, 0.7f, 2.8f},
      {"Roadmap", SectionKind::Planning, 0.2f, 0.4f, 3.2f},
      {"Caveats", SectionKind::Caveat, 0.4f, 0.8f, 2.6f},
      {"Misc", SectionKind::General, 0.7f, 0.9f, 0.5f},
  };
  for (const auto& c : cases) {
    // First section, no body, non-generic heading: only the bases vary.
    const auto profile = profile_section(0, one_section(heading(c.head), {}).section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->kind, c.kind) << c.head;
    EXPECT_FLOAT_EQ(profile->primary_score, 3.0f + c.primary_base) << c.head;
    EXPECT_FLOAT_EQ(profile->secondary_score, 2.2f + c.secondary_base + 0.4f) << c.head;
    EXPECT_FLOAT_EQ(profile->tertiary_score, c.tertiary_base) << c.head;
  }
}

TEST(SummaryProfileTest, OffsetsSpanHeadingToLastUtterance) {
  struct Case {
    ParsedMarkdownDocument doc;
    std::size_t start;
    std::size_t end;
  };
  const std::vector<Case> cases = {
      {one_section(heading("H", 5, 10), {paragraph("a", 12, 20), item("b", 22, 30)}), 5, 30},
      {one_section(heading("H", 5, 10), {}), 5, 10},
      {one_section(std::nullopt, {paragraph("a", 3, 4), paragraph("b", 6, 9)}), 3, 9},
  };
  for (const auto& c : cases) {
    const auto profile = profile_section(0, c.doc.section(0));
    ASSERT_TRUE(profile.has_value());
    EXPECT_EQ(profile->start_offset, c.start);
    EXPECT_EQ(profile->end_offset, c.end);
  }
}

TEST(SummaryProfileTest, BlankHeadinglessSectionYieldsNoProfileButKeepsItsIndex) {
  EXPECT_FALSE(
      profile_section(0, one_section(std::nullopt, {paragraph(" \u00A0")}).section(0)).has_value());
  EXPECT_FALSE(profile_section(0, MarkdownSection{}).has_value());
  EXPECT_TRUE(profile_section(0, one_section(heading(""), {}).section(0)).has_value());

  const ParsedMarkdownDocument doc = document({paragraph("  "), heading("Next")});
  const auto profiles = profile_sections(doc);
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].index, 1u);
}

// A large document's sections are profiled on two threads: the list must be the one section
// after section makes, blank sections left out.
TEST(SummaryProfileTest, LargeDocumentProfilesMatchSectionBySection) {
  std::vector<Utterance> utterances = {paragraph("  ")};  // a blank section: no profile
  for (int s = 0; s < 3000; ++s) {
    const auto n = static_cast<std::uint64_t>(s);
    utterances.push_back(heading(s % 5 == 0 ? "Install" : "Part " + std::to_string(s), n, n + 1));
    if (s % 7 != 0) utterances.push_back(paragraph("Run the service. It reads aloud.", n, n + 1));
    if (s % 3 == 0) utterances.push_back(item("Done: wrote the parser", n, n + 1));
    if (s % 4 == 0) utterances.push_back(item("To do: known issue " + std::to_string(s)));
  }
  const ParsedMarkdownDocument doc = document(std::move(utterances));
  ASSERT_GE(doc.utterances.size(), 4096u);
  std::vector<SectionProfile> expected;
  for (std::size_t i = 0; i < doc.section_count(); ++i) {
    if (auto profile = profile_section(i, doc.section(i))) expected.push_back(std::move(*profile));
  }
  const std::vector<SectionProfile> profiles = profile_sections(doc);
  ASSERT_EQ(profiles.size(), expected.size());
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    const SectionProfile& got = profiles[i];
    const SectionProfile& want = expected[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(got.index, want.index);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.topic, want.topic);
    EXPECT_EQ(got.heading, want.heading);
    EXPECT_EQ(got.lead_sentence, want.lead_sentence);
    EXPECT_EQ(got.items, want.items);
    EXPECT_EQ(got.completed_items, want.completed_items);
    EXPECT_EQ(got.remaining_items, want.remaining_items);
    EXPECT_EQ(got.start_offset, want.start_offset);
    EXPECT_EQ(got.primary_score, want.primary_score);
  }
}

SectionProfile made_profile(SectionKind kind, bool remaining = false, bool completed = false) {
  SectionProfile p;
  p.kind = kind;
  if (remaining) p.remaining_items = {"x"};
  if (completed) p.completed_items = {"y"};
  return p;
}

TEST(SummaryProfileTest, DocumentCategoryWeighsTitleKindsAndTasks) {
  using K = SectionKind;
  struct Case {
    std::optional<std::string> title;
    std::vector<SectionProfile> profiles;
    SectionKind want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {made_profile(K::General), made_profile(K::General)}, K::Overview},
      // Caveats lean towards runbooks (0.4) more than setup (0.3).
      {std::nullopt, {made_profile(K::Caveat), made_profile(K::Caveat)}, K::Runbook},
      {std::nullopt, {}, K::Overview},
      {std::nullopt, {made_profile(K::Reference), made_profile(K::Setup)}, K::Setup},
      {std::nullopt, {made_profile(K::Status), made_profile(K::Planning)}, K::Status},
      {"Release notes", {made_profile(K::Overview)}, K::Status},
      {"Install guide", {made_profile(K::General)}, K::Setup},
      {"System status", {}, K::Status},
      {"Quill", {made_profile(K::General), made_profile(K::Setup)}, K::Setup},
      {std::nullopt, {made_profile(K::General, true)}, K::Planning},
      {std::nullopt, {made_profile(K::General, false, true)}, K::Status},
      // The title weight replaces the starting 0.5 rather than adding to it: 2.7 against 2.9.
      {"Setup",
       {made_profile(K::Setup), made_profile(K::Status), made_profile(K::Status)},
       K::Status},
  };
  for (const auto& c : cases) {
    ParsedMarkdownDocument doc;
    if (c.title) doc.title = heading(*c.title);
    EXPECT_EQ(document_category(doc, c.profiles), c.want) << c.title.value_or("(none)");
  }
}

SectionProfile scored(SectionKind kind, float primary, float secondary, float tertiary) {
  static std::size_t next_index = 0;
  SectionProfile p;
  p.kind = kind;
  p.index = next_index++;
  p.primary_score = primary;
  p.secondary_score = secondary;
  p.tertiary_score = tertiary;
  return p;
}

TEST(SummaryProfileTest, ParagraphBudgetDependsOnProfilesAndUtterances) {
  struct Case {
    std::size_t profiles;
    std::size_t utterances;
    std::size_t want;
  };
  const std::vector<Case> cases = {
      {1, 10, 1}, {2, 2, 1}, {2, 3, 2}, {3, 7, 2}, {4, 7, 3}, {3, 8, 3},
  };
  for (const auto& c : cases) {
    const std::vector<SectionProfile> profiles(c.profiles, scored(SectionKind::General, 1, 1, 1));
    EXPECT_EQ(choose_sections(profiles, c.utterances).paragraph_budget, c.want)
        << c.profiles << " " << c.utterances;
  }
}

TEST(SummaryProfileTest, SectionChoiceOrdersPrimarySecondaryTertiaryThenSecondaryScore) {
  using K = SectionKind;
  struct Case {
    std::string name;
    std::vector<SectionProfile> profiles;
    std::size_t utterances;
    std::size_t primary;
    std::optional<std::size_t> secondary;
    std::optional<std::size_t> tertiary;
    std::vector<std::size_t> order;
  };
  const std::vector<Case> cases = {
      {"secondary is spoken past a budget of one",
       {scored(K::General, 2, 1, 1), scored(K::General, 1, 1, 1)},
       2,
       0,
       1,
       std::nullopt,
       {0, 1}},
      {"equal primary scores go to the earlier section",
       {scored(K::General, 2, 1, 1), scored(K::General, 5, 1, 1), scored(K::General, 5, 1, 1)},
       10,
       1,
       0,
       std::nullopt,
       {1, 0, 2}},
      {"status and planning are never secondary; tertiary ties go early",
       {scored(K::General, 9, 1, 1), scored(K::Status, 1, 9, 2), scored(K::Planning, 1, 8, 2),
        scored(K::Setup, 1, 1, 1)},
       10,
       0,
       3,
       1,
       {0, 3, 1}},
      {"remaining places go by secondary score",
       {scored(K::General, 9, 9, 0), scored(K::General, 1, 1, 0), scored(K::General, 1, 3, 0),
        scored(K::General, 1, 3, 0), scored(K::General, 1, 2, 0)},
       20,
       0,
       2,
       std::nullopt,
       {0, 2, 3}},
      {"tertiary waits for room in the budget",
       {scored(K::General, 9, 1, 1), scored(K::Setup, 1, 2, 1), scored(K::Status, 1, 1, 5)},
       5,
       0,
       1,
       2,
       {0, 1}},
      {"no eligible secondary",
       {scored(K::Overview, 9, 1, 1), scored(K::Planning, 1, 1, 1), scored(K::Status, 1, 1, 3)},
       30,
       0,
       std::nullopt,
       2,
       {0, 2, 1}},
  };
  for (const auto& c : cases) {
    const SectionChoice choice = choose_sections(c.profiles, c.utterances);
    EXPECT_EQ(choice.primary, c.primary) << c.name;
    EXPECT_EQ(choice.secondary, c.secondary) << c.name;
    EXPECT_EQ(choice.tertiary, c.tertiary) << c.name;
    EXPECT_EQ(choice.order, c.order) << c.name;
  }
}

}  // namespace
}  // namespace mdspeak
