#include "summary/phrasing.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support.h"

namespace mdspeak {
namespace {

using Strings = std::vector<std::string>;
using Views = std::vector<std::string_view>;

TEST(SummaryPhrasingTest, SampleItemsDropsASharedLabelAndTrailingFullStops) {
  struct Case {
    Views items;
    Strings want;
  };
  const std::vector<Case> cases = {
      {{"Step: clone", "Step: build", "Step: run", "Step: test"}, {"clone", "build", "run"}},
      {{"Fix parser.", "Ship it!"}, {"Fix parser", "Ship it!"}},
      {{"Step: a", "Step: b", "c"}, {"a", "b", "c"}},
      {{"Note: a", "Tip: b"}, {"Note: a", "Tip: b"}},
      {{"One two three four: a", "One two three four: b"},
       {"One two three four: a", "One two three four: b"}},
      // Only the first three items are searched for labels.
      {{"Step: a", "x", "y", "Step: b"}, {"Step: a", "x", "y"}},
      {{"Step: ...", "Step: b"}, {"", "b"}},
      // Labels are compared trimmed but the prefix must match exactly.
      {{"Step : a", "Step: b"}, {"Step : a", "b"}},
      {{"  spaced   out\u00A0item "}, {"spaced out item"}},
      {{"Wait?."}, {"Wait?"}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sample_items(c.items), c.want) << (c.items.empty() ? "" : c.items.front());
  }
}

TEST(SummaryPhrasingTest, FormatSeriesJoinsWithAndAndSerialComma) {
  const std::vector<std::pair<Strings, std::string>> cases = {
      {{}, ""},
      {{"a"}, "a"},
      {{"a", "b"}, "a and b"},
      {{"clone", "build", "run"}, "clone, build, and run"},
      {{"a", "b", "c", "d"}, "a, b, c, and d"},
      {{"", "b"}, " and b"},  // empty elements are kept
  };
  for (const auto& [phrases, want] : cases) EXPECT_EQ(format_series(phrases), want);
}

TEST(SummaryPhrasingTest, SectionClauseLowersOnlyOrdinarySentenceStarts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"The parser keeps offsets.", "the parser keeps offsets"},
      {"API keys are required.", "API keys are required"},
      {"A cache grows.", "A cache grows"},
      {"Why?!", "why"},
      {" Élan vital. ", "élan vital"},
  };
  for (const auto& [lead, want] : cases) EXPECT_EQ(section_clause(lead), want) << lead;
}

SectionProfile with_lead(std::optional<std::string> lead) {
  SectionProfile p;
  p.lead_sentence = std::move(lead);
  return p;
}

TEST(SummaryPhrasingTest, SubjectIsTheTitleOrTheTextBeforeTheFirstListedVerb) {
  struct Case {
    std::optional<std::string> title;
    std::vector<std::optional<std::string>> leads;
    std::optional<std::string> want;
  };
  const std::vector<Case> cases = {
      {" Quill ", {"Something else is here."}, "Quill"},
      // Verbs are tried in list order: " is " before " lets ", accepted with six words.
      {"Overview", {"The tool lets users see what is left."}, "The tool lets users see what"},
      // A generic candidate is rejected and the next profile is searched.
      {std::nullopt,
       {"This document describes the wire format.", std::nullopt, "Quill provides speech."},
       "Quill"},
      {std::nullopt, {"Quill, the reader, is fast."}, "Quill, the reader"},
      {std::nullopt, {"(Quill) is fast."}, "(Quill)"},
      {std::nullopt, {"Café-bar is open."}, "Café-bar"},
      {std::nullopt, {"One two three four five six seven eight nine is too long."}, std::nullopt},
      {std::nullopt, {"Is this it?"}, std::nullopt},  // a verb needs a word before it
      {std::nullopt, {"It is great."}, std::nullopt},
      {std::nullopt,
       {"The docs are here and the code is there."},
       "The docs are here and the code"},
      // Too long for " is ", a later verb still gets its chance.
      {"", {"Docs covers a very long list of things that really is here."}, "Docs"},
      {std::nullopt, {"The parser is fast."}, "The parser"},
  };
  for (const auto& c : cases) {
    ParsedMarkdownDocument doc;
    if (c.title) doc.title = test::heading(*c.title);
    std::vector<SectionProfile> profiles;
    for (const auto& lead : c.leads) profiles.push_back(with_lead(lead));
    EXPECT_EQ(find_subject(doc, profiles), c.want) << c.leads.front().value_or("");
  }
}

SectionProfile section_profile(SectionKind kind, std::optional<std::string> heading,
                               std::string topic, std::optional<std::string> lead, Views items = {},
                               Views completed = {}, Views remaining = {}) {
  SectionProfile p;
  p.kind = kind;
  p.heading = std::move(heading);
  p.topic = std::move(topic);
  p.lead_sentence = std::move(lead);
  p.items = std::move(items);
  p.completed_items = std::move(completed);
  p.remaining_items = std::move(remaining);
  return p;
}

TEST(SummaryPhrasingTest, SectionParagraphTemplatesByKind) {
  using K = SectionKind;
  const std::optional<std::string> none;
  struct Case {
    SectionProfile profile;
    std::string want;
  };
  const std::vector<Case> cases = {
      {section_profile(K::Status, "Changelog", "Changelog", "Lead here.", {"Done: x", "Fixed."}),
       "The Changelog section summarizes items such as Done: x and Fixed."},
      {section_profile(K::Status, "Status", "Status", "The parser keeps offsets."),
       "The Status section summarizes that the parser keeps offsets."},
      {section_profile(K::Status, none, "the core implementation details", none),
       "This part of the file summarizes the core implementation details."},
      {section_profile(K::Planning, "Plan", "Plan", none, {"i"}, {}, {"write docs", "ship"}),
       "The Plan section tracks remaining work such as write docs and ship."},
      {section_profile(K::Planning, "Plan", "Plan", none, {"i"}, {"a."}, {"b"}),
       "The Plan section tracks completed work such as a and remaining work such as b."},
      {section_profile(K::Planning, "Plan", "Plan", none, {"x", "y"}),
       "The Plan section highlights points such as x and y."},
      {section_profile(K::Planning, "Plan", "Plan", "Ship it soon."),
       "The Plan section explains that ship it soon."},
      {section_profile(K::Caveat, "Limits", "Limits", "API keys are required."),
       "The Limits section calls out that API keys are required."},
      {section_profile(K::Caveat, "Limits", "Limits", none),
       "The Limits section calls out Limits."},
      {section_profile(K::Reference, "API", "API", "Ignored.", {"a", "b", "c", "d"}),
       "The API section lists items such as a, b, and c."},
      {section_profile(K::Reference, "API", "API", "The fields are listed."),
       "The API section documents that the fields are listed."},
      {section_profile(K::Runbook, "Recovery", "Recovery", "Restart the daemon first."),
       "The Recovery section describes that restart the daemon first."},
      {section_profile(K::Runbook, "Recovery", "Recovery", none, {"Restart"}),
       "The Recovery section walks through actions such as Restart."},
      {section_profile(K::Setup, "Install", "Install", none, {"Run the installer", "Open the app"}),
       "The Install section walks through steps such as Run the installer and Open the app."},
      {section_profile(K::Overview, "Overview", "the tool", "The tool reads files."),
       "The Overview section explains that the tool reads files."},
      {section_profile(K::General, none, "misc things", none),
       "This part of the file covers misc things."},
  };
  for (const auto& c : cases) EXPECT_EQ(build_section_paragraph(c.profile), c.want);
}

TEST(SummaryPhrasingTest, PushSummaryUtteranceCleansAndOrdersOffsets) {
  struct Case {
    std::uint64_t start;
    std::uint64_t end;
    std::string text;
    std::vector<Utterance> want;
  };
  const std::vector<Case> cases = {
      {3, 1, "hi", {Utterance{"hi.", 3, 3, UtteranceKind::Paragraph}}},
      {0, 10, " \n ", {}},
      {5, 9, " a\n  b? ", {Utterance{"a b?", 5, 9, UtteranceKind::Paragraph}}},
  };
  for (const auto& c : cases) {
    std::vector<Utterance> summary;
    push_summary_utterance(summary, c.start, c.end, c.text);
    EXPECT_EQ(summary, c.want) << c.text;
  }
}

TEST(SummaryPhrasingTest, FallbackSpeaksTheFirstUtteranceAsAnOverview) {
  struct Case {
    std::optional<std::string> title;
    std::vector<Utterance> utterances;
    std::vector<Utterance> want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {}, {}},
      {"Quill",
       {test::heading("Quill", 2, 7)},
       {Utterance{"This file serves as an engineering overview for Quill. Quill.", 2, 7,
                  UtteranceKind::Paragraph}}},
      {"README",
       {test::heading("README", 2, 8), test::paragraph("Text", 10, 14)},
       {Utterance{"This file serves as an engineering overview. README.", 2, 8,
                  UtteranceKind::Paragraph}}},
      {std::nullopt,
       {test::paragraph(" \u00A0", 4, 6)},
       {Utterance{"This file serves as an engineering overview.", 4, 6, UtteranceKind::Paragraph}}},
  };
  for (const auto& c : cases) {
    ParsedMarkdownDocument doc;
    doc.utterances = c.utterances;
    if (c.title) doc.title = test::heading(*c.title);
    EXPECT_EQ(fallback_summary(doc), c.want) << c.title.value_or("(none)");
  }
}

}  // namespace
}  // namespace mdspeak
