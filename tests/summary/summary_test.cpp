#include "summary/summary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "invariants.h"
#include "support.h"

namespace mdspeak {
namespace {

using test::heading;
using test::item;
using test::paragraph;

Utterance spoken(std::string text, std::uint64_t start, std::uint64_t end) {
  return Utterance{std::move(text), start, end, UtteranceKind::Paragraph};
}

struct Example {
  std::string name;
  std::vector<Utterance> utterances;
  std::vector<Utterance> want;
};

// Hand-built documents covering the opening paragraph's branches and the paragraph order.
std::vector<Example> examples() {
  return {
      {"quill",
       {heading("Quill", 2, 7),
        paragraph("Quill is a speech tool that reads Markdown aloud to you.", 9, 65),
        heading("Install", 69, 76), item("Run the installer", 80, 97),
        item("Open the app", 100, 112)},
       {spoken("This file serves as a setup and usage guide. Quill is a speech tool that reads "
               "Markdown aloud to you. It focuses on install.",
               2, 65),
        spoken(
            "The Install section walks through steps such as Run the installer and Open the app.",
            69, 112)}},
      {"no subject and a short lead: topics are covered",
       {heading("README", 0, 6), paragraph("Short intro.", 8, 20), heading("Parser", 22, 28),
        paragraph("Reads text.", 30, 41), heading("Speech", 43, 49), paragraph("Talks.", 51, 57)},
       {spoken("This file serves as an engineering overview. It covers parser and speech.", 0, 20),
        spoken("The Parser section explains that reads text.", 22, 41)}},
      {"subject not leading the lead; a topic mentioned inside a word",
       {heading("Quill", 0, 5),
        paragraph("The reader turns Markdown into speeches for everyone.", 7, 60),
        heading("Speech", 62, 68), paragraph("Reads text.", 70, 81)},
       {spoken("This file serves as an engineering overview for Quill. The reader turns Markdown "
               "into speeches for everyone.",
               0, 60),
        spoken("The Speech section explains that reads text.", 62, 81)}},
      {"three paragraphs with a planning follow-up",
       {heading("Quill", 0, 5),
        paragraph("Quill is a speech tool that reads Markdown aloud to you.", 6, 10),
        heading("Install", 11, 12), item("Run the installer", 13, 14), item("Open the app", 15, 16),
        heading("Limitations", 17, 18), paragraph("Only macOS is supported.", 19, 20),
        heading("Roadmap", 21, 22), item("Done: ship parser", 23, 24),
        item("To do: add voices", 25, 26)},
       {spoken("This file serves as a planning and task-tracking document. Quill is a speech tool "
               "that reads Markdown aloud to you. It focuses on install, limitations, and roadmap.",
               0, 10),
        spoken(
            "The Install section walks through steps such as Run the installer and Open the app.",
            11, 16),
        spoken("The Roadmap section tracks completed work such as ship parser and remaining work "
               "such as add voices.",
               21, 26)}},
      {"topics are lowered, deduplicated and capped at four",
       {heading("README", 0, 6), paragraph("Short intro.", 8, 20), heading("Alpha", 22, 27),
        heading("Beta", 29, 33), heading("alpha", 35, 40), heading("Gamma", 42, 47),
        heading("Delta", 49, 54), heading("Epsilon", 56, 63)},
       {spoken("This file serves as an engineering overview. It covers alpha, beta, gamma, and "
               "delta.",
               0, 20),
        spoken("The Alpha section covers Alpha.", 22, 27),
        spoken("The Beta section covers Beta.", 29, 33)}},
      {"one section gives one paragraph",
       {paragraph("Just some words here for you.", 3, 33)},
       {spoken("This file serves as an engineering overview. Just some words here for you.", 3,
               33)}},
      {"two bare headings still give two paragraphs",
       {heading("Alpha", 2, 7), heading("Beta", 11, 15)},
       {spoken("This file serves as an engineering overview for Alpha. It covers beta.", 2, 7),
        spoken("The Beta section covers Beta.", 11, 15)}},
      {"only blank text falls back",
       {paragraph(" ", 4, 6)},
       {spoken("This file serves as an engineering overview.", 4, 6)}},
      {"empty document", {}, {}},
  };
}

TEST(SummarizeDocumentTest, WorkedExamplesWordForWord) {
  for (const Example& e : examples()) {
    const auto summary = summarize_document(test::document(e.utterances));
    EXPECT_EQ(summary, e.want) << e.name;
    EXPECT_EQ(summary_check::summary_problems(summary), std::vector<std::string>{}) << e.name;
  }
}

TEST(SummarizeDocumentTest, QuillFromMarkdownSource) {
  const std::string source =
      "# Quill\n\nQuill is a speech tool that reads Markdown aloud to you.\n\n# Install\n\n"
      "- Run the installer\n- Open the app\n";
  const auto summary = summarize_document(parse_markdown_document(source));
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_EQ(summary[0], spoken("This file serves as a setup and usage guide. Quill is a speech "
                               "tool that reads Markdown aloud to you. It focuses on install.",
                               2, 65));
  EXPECT_EQ(summary[1], spoken("The Install section walks through steps such as Run the "
                               "installer and Open the app.",
                               69, 112));
}

TEST(SummarizeDocumentTest, NeverMoreThanThreeParagraphsOrOneSectionTwice) {
  std::vector<Utterance> utterances;
  for (int i = 0; i < 12; ++i) {
    const auto at = static_cast<std::uint64_t>(i * 10);
    utterances.push_back(heading("Part " + std::to_string(i), at, at + 2));
    utterances.push_back(
        paragraph("Some text about part number " + std::to_string(i) + ".", at + 3, at + 9));
  }
  const auto summary = summarize_document(test::document(utterances));
  ASSERT_EQ(summary.size(), 3u);
  EXPECT_NE(summary[0].start_offset, summary[1].start_offset);
  EXPECT_NE(summary[1].start_offset, summary[2].start_offset);
  EXPECT_NE(summary[0].start_offset, summary[2].start_offset);
  EXPECT_EQ(summary_check::summary_problems(summary), std::vector<std::string>{});
}

}  // namespace
}  // namespace mdspeak
