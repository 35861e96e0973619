// The natural reading: source order, a range per sentence, cuts where a listener hears them,
// inline code spaced as written, code blocks and images announced, table cells with headers.
#include <gtest/gtest.h>

#include "markdown/markdown.h"
#include "markdown/natural.h"
#include "markdown/walker.h"
#include "source_map_check.h"
#include "utterance_cases.h"

namespace mdspeak {
namespace {

using K = UtteranceKind;
using testing_support::texts_of;
using testing_support::Want;
// A want's span is expected at its first occurrence at or after the previous utterance's start.
using NaturalCase = testing_support::UtteranceCase;

class NaturalWalk : public testing::TestWithParam<NaturalCase> {};

TEST_P(NaturalWalk, ReadsAsAPersonWould) {
  const NaturalCase& c = GetParam();
  const ParsedMarkdownDocument doc = parse_markdown_document(c.source, ReadingMode::Natural);
  ASSERT_EQ(doc.utterances.size(), c.want.size()) << texts_of(doc);
  std::size_t from = 0;
  for (std::size_t i = 0; i < c.want.size(); ++i) {
    const Utterance& u = doc.utterances[i];
    const Want& w = c.want[i];
    EXPECT_EQ(u.kind, w.kind) << i;
    EXPECT_EQ(u.text, w.text) << i;
    const std::size_t at = c.source.find(w.span, from);
    ASSERT_NE(at, std::string::npos) << "bad test: " << w.span;
    EXPECT_EQ(c.source.substr(u.start_offset, u.end_offset - u.start_offset), w.span) << i;
    EXPECT_EQ(u.start_offset, at) << i;
    from = at;
  }
  // In its own buffer, and with md4c on a second thread (which hands code block lines over only
  // when the reading counts them), the source reads the same.
  std::string buffer = c.source;
  EXPECT_TRUE(testing_support::same_reading(
      doc, parse_markdown_document_in_place(buffer, {}, ReadingMode::Natural)));
  EXPECT_TRUE(testing_support::same_reading(
      doc, markdown::parse_markdown_document(c.source, markdown::Reading::TwoThreads,
                                             ReadingMode::Natural)));
}

// Together over 180 bytes, so that the paragraph is cut.
const std::string kSentenceA = "The first sentence is long enough to be cut off from the rest.";
const std::string kSentenceB = "A second one follows it, in the *same* paragraph, on its line.";
const std::string kSentenceC = "And a third closes the text, making some two hundred bytes.";

INSTANTIATE_TEST_SUITE_P(
    Markdown, NaturalWalk,
    testing::Values(
        // Source order.
        NaturalCase{"ParentBeforeItsSubItems",
                    "* Parent.\n  * Child one;\n  * Child two.\n",
                    {{K::Item, "Parent.", "Parent."},
                     {K::Item, "Child one;", "Child one;"},
                     {K::Item, "Child two.", "Child two."}}},
        NaturalCase{"LooseItemParagraphListParagraph",
                    "- First part.\n\n  - nested\n\n  Later part.\n",
                    {{K::Item, "First part.", "First part."},
                     {K::Item, "nested", "nested"},
                     {K::Item, "Later part.", "Later part."}}},
        NaturalCase{"TaskPrefixOnlyOnTheFirstPart",
                    "- [ ] Buy milk.\n  - soon\n\n  More.\n",
                    {{K::Item, "To do: Buy milk.", "Buy milk."},
                     {K::Item, "soon", "soon"},
                     {K::Item, "More.", "More."}}},
        NaturalCase{"HeadingInsideAQuoteInPlace",
                    "> before\n>\n> # Head\n> after\n",
                    {{K::BlockQuote, "before", "before"},
                     {K::Heading, "Head", "Head"},
                     {K::BlockQuote, "after", "after"}}},
        NaturalCase{"QuoteInsideAnItem",
                    "- item text\n\n  > quoted\n",
                    {{K::Item, "item text", "item text"}, {K::BlockQuote, "quoted", "quoted"}}},
        NaturalCase{"TwoParagraphsOfAnItemStayTogether",
                    "- one\n\n  two\n",
                    {{K::Item, "one two", "one\n\n  two"}}},
        // Inline content joined as written.
        NaturalCase{
            "InlineCodeInBrackets",
            "Run (`scripts/bootstrap`) first.\n",
            {{K::Paragraph, "Run (scripts bootstrap) first.", "Run (`scripts/bootstrap`) first."}}},
        NaturalCase{"InlineCodeBetweenWords",
                    "decoding `.zst`, `.gz`, `.xz` and `.lz4` files\n",
                    {{K::Paragraph, "decoding .zst, .gz, .xz and .lz4 files",
                      "decoding `.zst`, `.gz`, `.xz` and `.lz4` files"}}},
        NaturalCase{
            "EmphasisInsideAWord",
            "un*believ*able and **bold** text\n",
            {{K::Paragraph, "unbelievable and bold text", "un*believ*able and **bold** text"}}},
        NaturalCase{"LinkAndBreaks",
                    "see [the docs](http://x.y) now\nand then  \nagain\n",
                    {{K::Paragraph, "see the docs now and then again",
                      "see [the docs](http://x.y) now\nand then  \nagain"}}},
        // What the plain reading skips.
        NaturalCase{"FencedCodeBlockWithLanguage",
                    "Run this:\n\n```sh\necho a\n\necho b\n```\n\nDone.\n",
                    {{K::Paragraph, "Run this:", "Run this:"},
                     {K::CodeBlock, "Shell code block, 3 lines.", "```sh\necho a\n\necho b\n```"},
                     {K::Paragraph, "Done.", "Done."}}},
        NaturalCase{"FencedCodeBlockOneLineNoLanguage",
                    "~~~~\nx\n~~~~\n",
                    {{K::CodeBlock, "Code block, 1 line.", "~~~~\nx\n~~~~"}}},
        NaturalCase{"UnclosedFenceAndUnknownLanguage",
                    "``` zig extra\nconst x = 1;\n",
                    {{K::CodeBlock, "Zig code block, 1 line.", "``` zig extra\nconst x = 1;"}}},
        NaturalCase{
            "IndentedCodeBlock",
            "Text.\n\n    a\n    b\n",
            {{K::Paragraph, "Text.", "Text."}, {K::CodeBlock, "Code block, 2 lines.", "a\n    b"}}},
        NaturalCase{"CodeBlockInsideAnItem",
                    "- Build:\n\n  ```\n  make\n  ```\n\n  Then go.\n",
                    {{K::Item, "Build:", "Build:"},
                     {K::CodeBlock, "Code block, 1 line.", "```\n  make\n  ```"},
                     {K::Item, "Then go.", "Then go."}}},
        NaturalCase{"EachBlockFindsItsOwnFences",
                    "```sh\nx\n```\n***\n    code\n> ```sh\n> y\n> ```\n",
                    {{K::CodeBlock, "Shell code block, 1 line.", "```sh\nx\n```"},
                     {K::CodeBlock, "Code block, 1 line.", "code"},
                     {K::CodeBlock, "Shell code block, 1 line.", "```sh\n> y\n> ```"}}},
        NaturalCase{"ImageAltTextOfTwoWordsOrMore",
                    "![build status](b.svg) ![CI](c.svg) Works ![a b](x.png).\n",
                    {{K::Paragraph, "Image: build status. Works Image: a b..",
                      "build status](b.svg) ![CI](c.svg) Works ![a b](x.png)."}}},
        NaturalCase{"BadgeAloneSaysNothing", "[![CI](ci.svg)](http://ci)\n", {}},
        NaturalCase{"HtmlRuleAndFrontMatterStaySilent",
                    "---\ntitle: x\n---\na\n\n***\n\n<div>\nhtml\n</div>\n\nb\n",
                    {{K::Paragraph, "a", "a"}, {K::Paragraph, "b", "b"}}},
        // Tables: a cell after its header.
        NaturalCase{"TableRowsWithHeaders",
                    "| Name | Age |\n|---|---|\n| Ann | 31 |\n| | 7 |\n| Bob | |\n",
                    {{K::TableRow, "Name, Age", "| Name | Age |\n"},
                     {K::TableRow, "Name: Ann; Age: 31.", "| Ann | 31 |\n"},
                     {K::TableRow, "Age: 7.", "| | 7 |\n"},
                     {K::TableRow, "Name: Bob.", "| Bob | |\n"}}},
        NaturalCase{"CellUnderAnEmptyHeaderReadPlainly",
                    "| | Age |\n|---|---|\n| Ann | 31? |\n",
                    {{K::TableRow, "Age", "| | Age |\n"},
                     {K::TableRow, "Ann; Age: 31?", "| Ann | 31? |\n"}}},
        // Sentences: each with its own range.
        NaturalCase{"SentencesCarryTheirOwnRanges",
                    kSentenceA + "\n" + kSentenceB + " " + kSentenceC + "\n",
                    {{K::Paragraph, kSentenceA, kSentenceA},
                     {K::Paragraph, "A second one follows it, in the same paragraph, on its line.",
                      kSentenceB},
                     {K::Paragraph, kSentenceC, kSentenceC}}},
        NaturalCase{
            "NoCutInsideTokens",
            "It runs Node.js 20.04 on 4.9GHz and writes last-reading.wav to http://x.y "
            "at 3:45 each day, e.g. on Ubuntu; Dr. Smith and Mr. Jones approve it. Then "
            "it stops for the night and waits.\n",
            {{K::Paragraph,
              "It runs Node.js 20.04 on 4.9GHz and writes last-reading.wav to http://x.y "
              "at 3:45 each day, e.g. on Ubuntu;",
              "It runs Node.js 20.04 on 4.9GHz and writes last-reading.wav to http://x.y "
              "at 3:45 each day, e.g. on Ubuntu;"},
             {K::Paragraph,
              "Dr. Smith and Mr. Jones approve it. Then it stops for the night and waits.",
              "Dr. Smith and Mr. Jones approve it. Then it stops for the night and waits."}}},
        NaturalCase{
            "CommasKeptWhenNoSentenceEnds",
            "first part of a long, long list of words, second part of the same long list, "
            "third part that goes on and on, fourth and last part of it all without "
            "any end mark at all in the whole text\n",
            {{K::Paragraph, "first part of a long,", "first part of a long,"},
             {K::Paragraph, "long list of words,", "long list of words,"},
             {K::Paragraph, "second part of the same long list,",
              "second part of the same long list,"},
             {K::Paragraph, "third part that goes on and on,", "third part that goes on and on,"},
             {K::Paragraph,
              "fourth and last part of it all without any end mark at all in the whole text",
              "fourth and last part of it all without any end mark at all in the whole text"}}}),
    [](const auto& info) { return info.param.name; });

TEST(NaturalCuts, OnlyWhereASentenceIsHeardToEnd) {
  struct Case {
    std::string text;
    std::vector<std::string> pieces;
  };
  const std::string pad = "This sentence pads the text to forty bytes";  // 42 bytes
  const std::vector<Case> cases = {
      {pad + ". Next one.", {pad + ".", "Next one."}},
      {pad + "! Next? Yes: no; maybe.", {pad + "!", "Next? Yes: no; maybe."}},
      {pad + "; " + pad + ": end", {pad + ";", pad + ":", "end"}},
      {pad + ".", {pad + "."}},
      // Too short before the mark: runs on.
      {"Short. " + pad + ".", {"Short. " + pad + "."}},
      // Marks inside tokens.
      {pad + " Node.js x.y 3:45 a;b 1.5. Next.", {pad + " Node.js x.y 3:45 a;b 1.5.", "Next."}},
      // Abbreviations, English and Spanish, and initials.
      {pad + " e.g. one i.e. two etc. vs. Mr. Mrs. Dr. St. No. 5 approx. cf. end. X.",
       {pad + " e.g. one i.e. two etc. vs. Mr. Mrs. Dr. St. No. 5 approx. cf. end.", "X."}},
      {pad + " p. ej. Sr. Sra. Dra. núm. pág. EE. UU. y J. R. Tolkien. Fin.",
       {pad + " p. ej. Sr. Sra. Dra. núm. pág. EE. UU. y J. R. Tolkien.", "Fin."}},
      {pad + " (e.g. this) and \"Dr. Who\". Next.",
       {pad + " (e.g. this) and \"Dr. Who\".", "Next."}},
      // "no" ends a sentence unless a number follows.
      {pad + " said no. Then No. 7 came.", {pad + " said no.", "Then No. 7 came."}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (std::string_view p : markdown::cut_sentences(c.text, 40)) got.emplace_back(p);
    EXPECT_EQ(got, c.pieces) << c.text;
  }
}

TEST(NaturalCuts, CommasStayWithTheirPieces) {
  struct Case {
    std::string text;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"a, b, c", {"a,", "b,", "c"}},
      {"1,000 and 2,5, then", {"1,000 and 2,5,", "then"}},
      {"a,, b", {"a,,", "b"}},
      {", a", {", a"}},
      {"a,", {"a,"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    for (std::string_view p : markdown::cut_after_commas(c.text)) got.emplace_back(p);
    EXPECT_EQ(got, c.pieces) << c.text;
  }
}

TEST(NaturalCodeBlocks, NamedAndCountedInBothLanguages) {
  struct Case {
    std::string info;
    std::size_t lines;
    std::string english;
    std::string spanish;
  };
  const std::vector<Case> cases = {
      {"", 12, "Code block, 12 lines.", "Bloque de código, 12 líneas."},
      {"sh", 3, "Shell code block, 3 lines.", "Bloque de código Shell, 3 líneas."},
      {"bash title=x", 1, "Shell code block, 1 line.", "Bloque de código Shell, 1 línea."},
      {"{.python}", 2, "Python code block, 2 lines.", "Bloque de código Python, 2 líneas."},
      {"text", 2, "Code block, 2 lines.", "Bloque de código, 2 líneas."},
      {"c++", 2, "C++ code block, 2 lines.", "Bloque de código C++, 2 líneas."},
      {"<weird>", 2, "Code block, 2 lines.", "Bloque de código, 2 líneas."},
  };
  for (const Case& c : cases) {
    const std::string name = markdown::code_language_name(c.info);
    EXPECT_EQ(code_block_announcement(name, c.lines, false), c.english) << c.info;
    EXPECT_EQ(code_block_announcement(name, c.lines, true), c.spanish) << c.info;
  }
  ParsedMarkdownDocument doc =
      parse_markdown_document("Texto.\n\n```python\na\nb\n```\n", ReadingMode::Natural);
  announce_code_blocks_in_spanish(doc);
  ASSERT_EQ(doc.utterances.size(), 2u);
  EXPECT_EQ(doc.utterances[1].text, "Bloque de código Python, 2 líneas.");
}

// Task prefixes worded in Spanish: the prefix still maps to the box, every later word to its own
// source bytes, also in an item cut into several utterances and in the items after it.
TEST(NaturalTaskPrefixes, SpanishPrefixesKeepTheWordsMapped) {
  const std::string source =
      "- [ ] Revisar *la* guía\n"
      "- [x] Publicar la versión. Después se anuncia en la lista de correo del proyecto, con "
      "las notas de la versión y los cambios que importan a quien la usa cada día, y se deja "
      "constancia en el registro público del proyecto para todos.\n"
      "- nada que hacer\n"
      "- [ ] Hecho el cambio\n";
  ParsedMarkdownDocument doc = parse_markdown_document(source, ReadingMode::Natural);
  const ParsedMarkdownDocument english = doc;
  word_task_prefixes(doc, SupportedLanguage::English);
  EXPECT_EQ(doc.utterances, english.utterances);  // English (or unknown) leaves them as made
  word_task_prefixes(doc, SupportedLanguage::Spanish);
  ASSERT_GE(doc.utterances.size(), 5u);
  EXPECT_EQ(doc.utterances[0].text, "Pendiente: Revisar la guía");
  EXPECT_EQ(doc.utterances[1].text,
            "Hecho: Publicar la versión. Después se anuncia en la lista de correo del proyecto,");
  EXPECT_EQ(doc.utterances.back().text, "Pendiente: Hecho el cambio");
  EXPECT_EQ(doc.utterances[doc.utterances.size() - 2].text, "nada que hacer");
  // Every word of every utterance maps to the same source bytes as before the rewording.
  for (std::size_t i = 0; i < doc.utterances.size(); ++i) {
    const std::string& was = english.utterances[i].text;
    const std::string& now = doc.utterances[i].text;
    const std::size_t shift = now.size() - was.size();
    const std::size_t from = shift == 0 ? 0 : was.find(' ') + 1;  // after the prefix
    for (std::size_t b = from; b < was.size(); ++b) {
      ASSERT_EQ(doc.source_map.source_range(i, b + shift, b + shift + 1),
                english.source_map.source_range(i, b, b + 1))
          << now << " @" << b;
    }
    if (shift != 0) {
      const std::size_t prefix_end = now.find(' ');
      EXPECT_EQ(doc.source_map.source_range(i, 0, prefix_end),
                english.source_map.source_range(i, 0, was.find(' ')))
          << now;
    }
  }
  const auto box = doc.source_map.source_range(0, 0, 10);
  EXPECT_EQ(source.substr(box.first, box.second - box.first), "[ ]");
  EXPECT_EQ(task_prefix(true, SupportedLanguage::Spanish), "Hecho:");

  // Per passage: each item in its own language, whatever the document's.
  ParsedMarkdownDocument mixed =
      parse_markdown_document("- [ ] Revisar la guía\n- [x] Ship it\n", ReadingMode::Natural);
  ASSERT_EQ(mixed.utterances.size(), 2u);
  const std::vector<std::optional<SupportedLanguage>> passages = {SupportedLanguage::Spanish,
                                                                  SupportedLanguage::English};
  word_task_prefixes(mixed, SupportedLanguage::English, passages);
  EXPECT_EQ(mixed.utterances[0].text, "Pendiente: Revisar la guía");
  EXPECT_EQ(mixed.utterances[1].text, "Done: Ship it");
  EXPECT_EQ(task_prefix(false, std::nullopt), "To do:");
}

// A long document read on two threads: code blocks, images and tables on every batch boundary.
TEST(NaturalWalkLong, ReadsAlikeOnOneThreadOrTwo) {
  std::string source;
  for (int i = 0; source.size() < (std::size_t{1} << 19); ++i) {
    const std::string n = std::to_string(i);
    source += "- item " + n + "\n  - sub " + n + "\n\n```js\nx(" + n + ")\n```\n\n" +
              "![a picture of " + n + "](p.png)\n\n| h | k |\n|---|---|\n| " + n + " | v |\n\n";
  }
  const ParsedMarkdownDocument one =
      markdown::parse_markdown_document(source, markdown::Reading::OneThread, ReadingMode::Natural);
  const ParsedMarkdownDocument two = markdown::parse_markdown_document(
      source, markdown::Reading::TwoThreads, ReadingMode::Natural);
  EXPECT_TRUE(testing_support::same_reading(one, two));
  ASSERT_GT(one.utterances.size(), 6u);
  EXPECT_EQ(one.utterances[2].text, "JavaScript code block, 1 line.");
  EXPECT_EQ(one.code_blocks.size(), two.code_blocks.size());
  for (std::size_t i = 1; i < one.utterances.size(); ++i) {
    ASSERT_LE(one.utterances[i - 1].start_offset, one.utterances[i].start_offset) << i;
  }
}

}  // namespace
}  // namespace mdspeak
