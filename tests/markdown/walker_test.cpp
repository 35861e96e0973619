#include <gtest/gtest.h>

#include "markdown/markdown.h"

namespace mdspeak {
namespace {

using K = UtteranceKind;

// An expected utterance: its kind, its text and the source text its span covers (which must
// occur in the source; its first occurrence is the expected position).
struct Want {
  K kind;
  std::string text;
  std::string span;
};

struct WalkCase {
  const char* name;
  std::string source;
  std::vector<Want> want;
};

void PrintTo(const WalkCase& c, std::ostream* os) {
  *os << c.name;
}

class WalkerTest : public testing::TestWithParam<WalkCase> {};

TEST_P(WalkerTest, ReadsUtterances) {
  const WalkCase& c = GetParam();
  ParsedMarkdownDocument doc = parse_markdown_document(c.source);
  ASSERT_EQ(doc.utterances.size(), c.want.size()) << [&] {
    std::string got;
    for (const Utterance& u : doc.utterances) got += "[" + u.text + "] ";
    return got;
  }();
  for (std::size_t i = 0; i < c.want.size(); ++i) {
    const Utterance& u = doc.utterances[i];
    const Want& w = c.want[i];
    EXPECT_EQ(u.kind, w.kind) << i;
    EXPECT_EQ(u.text, w.text) << i;
    std::size_t at = c.source.find(w.span);
    ASSERT_NE(at, std::string::npos) << "bad test: " << w.span;
    EXPECT_EQ(u.start_offset, at) << i << " " << u.text;
    EXPECT_EQ(u.end_offset, at + w.span.size()) << i << " " << u.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Markdown, WalkerTest,
    testing::Values(
        WalkCase{"Empty", "", {}},
        WalkCase{"AtxHeading", "# Title #\n", {{K::Heading, "Title", "Title"}}},
        WalkCase{"SetextHeading",
                 "Over\ntwo lines\n===\n",
                 {{K::Heading, "Over two lines", "Over\ntwo lines"}}},
        WalkCase{"SetextLevelTwo", "Text\n---\n", {{K::Heading, "Text", "Text"}}},
        WalkCase{"ParagraphOverTwoLines",
                 "first line\nsecond line\n",
                 {{K::Paragraph, "first line second line", "first line\nsecond line"}}},
        WalkCase{"EmphasisIsAPiece", "foo*bar*", {{K::Paragraph, "foo bar", "foo*bar"}}},
        WalkCase{"NoSpaceBeforeColon",
                 "**Note**: read this",
                 {{K::Paragraph, "Note: read this", "Note**: read this"}}},
        WalkCase{"InlineCode",
                 "Use `a_b::c/d` now",
                 {{K::Paragraph, "Use a b c d now", "Use `a_b::c/d` now"}}},
        WalkCase{"CodeSpanFencesInRange", "`` x::y ``", {{K::Paragraph, "x y", "`` x::y ``"}}},
        WalkCase{"EscapeInsideWord", "a\\*b\\*", {{K::Paragraph, "a*b*", "a\\*b\\*"}}},
        WalkCase{"EscapeAtStart",
                 "\\# not a heading",
                 {{K::Paragraph, "# not a heading", "# not a heading"}}},
        WalkCase{"CharacterReferences",
                 "AT&amp;T &copy; caf&#233;&#x1F600; &#0; &bogus;",
                 {{K::Paragraph, "AT&T \u00A9 caf\u00E9\U0001F600 \uFFFD &bogus;",
                   "AT&amp;T &copy; caf&#233;&#x1F600; &#0; &bogus;"}}},
        WalkCase{"ReferenceAtEdges", "&lt;tag&gt;", {{K::Paragraph, "<tag>", "&lt;tag&gt;"}}},
        WalkCase{"SoftBreakAfterImage", "![i](x)\nfoo", {{K::Paragraph, "foo", "\nfoo"}}},
        WalkCase{"HardBreakSpaces", "![i](x)  \nfoo", {{K::Paragraph, "foo", "  \nfoo"}}},
        WalkCase{"HardBreakBackslash", "![i](x)\\\nfoo", {{K::Paragraph, "foo", "\\\nfoo"}}},
        WalkCase{"CrLfBreak", "![i](x)\r\nfoo", {{K::Paragraph, "foo", "\r\nfoo"}}},
        WalkCase{"CrLfParagraph",
                 "line one\r\nline two\r\n\r\nnext\r\n",
                 {{K::Paragraph, "line one line two", "line one\r\nline two"},
                  {K::Paragraph, "next", "next"}}},
        WalkCase{"ImageDropped",
                 "before ![alt text](a.png) after",
                 {{K::Paragraph, "before after", "before ![alt text](a.png) after"}}},
        WalkCase{"ImageOnly", "![alt](a.png)\n\n[![badge](b.svg)](http://x)", {}},
        WalkCase{"LinkText",
                 "see [the docs](http://x \"title\") now",
                 {{K::Paragraph, "see the docs now", "see [the docs](http://x \"title\") now"}}},
        WalkCase{"Autolink",
                 "<http://a--b.com/'x'>",
                 {{K::Paragraph, "http://a--b.com/'x'", "http://a--b.com/'x'"}}},
        WalkCase{"InlineHtml",
                 "Press <kbd>Ctrl</kbd><!-- c --> now",
                 {{K::Paragraph, "Press Ctrl now", "Press <kbd>Ctrl</kbd><!-- c --> now"}}},
        WalkCase{"SkippedBlocks",
                 "```\ncode\n```\n\n    indented\n\n<div>\nhtml\n</div>\n\n***\n\nafter",
                 {{K::Paragraph, "after", "after"}}},
        WalkCase{
            "TightItems", "- one\n- two\n", {{K::Item, "one", "one"}, {K::Item, "two", "two"}}},
        WalkCase{"LooseItemParagraphs",
                 "- first para\n\n  second para\n",
                 {{K::Item, "first para second para", "first para\n\n  second para"}}},
        WalkCase{"NestedListComesFirst",
                 "1. outer\n   - inner\n",
                 {{K::Item, "inner", "inner"}, {K::Item, "outer", "outer"}}},
        WalkCase{
            "TaskItems",
            "- [ ] buy milk\n- [x] sell milk\n",
            {{K::Item, "To do: buy milk", "buy milk"}, {K::Item, "Done: sell milk", "sell milk"}}},
        WalkCase{"QuoteParagraphs", "> p1\n>\n> p2\n", {{K::BlockQuote, "p1 p2", "p1\n>\n> p2"}}},
        WalkCase{"NestedQuote", "> > inner\n", {{K::BlockQuote, "inner", "inner"}}},
        WalkCase{"HeadingInQuote",
                 "> # Head\n> body\n",
                 {{K::Heading, "Head", "Head"}, {K::BlockQuote, "body", "body"}}},
        WalkCase{"QuoteInItem",
                 "- item\n  > quoted\n",
                 {{K::BlockQuote, "quoted", "quoted"}, {K::Item, "item", "item"}}},
        WalkCase{"Table",
                 "| Name | Age |\n|------|-----|\n| Ann | 31 |\n| Bob |  | x |\n",
                 {{K::TableRow, "Name, Age", "| Name | Age |\n"},
                  {K::TableRow, "Ann; 31", "| Ann | 31 |\n"},
                  {K::TableRow, "Bob", "| Bob |  | x |\n"}}},
        WalkCase{"TableEmptyCells",
                 "| A | B | C |\n|---|---|---|\n| x |  | z |\n|  | y |  |\n|  |  |  |\nend",
                 {{K::TableRow, "A, B, C", "| A | B | C |\n"},
                  {K::TableRow, "x; z", "| x |  | z |\n"},
                  {K::TableRow, "y", "|  | y |  |\n"},
                  {K::TableRow, "end", "end"}}},
        WalkCase{"TableWithoutOuterPipes",
                 "A | B\n--- | ---\nx | `a\\|b`",
                 {{K::TableRow, "A, B", "A | B\n"}, {K::TableRow, "x; a|b", "x | `a\\|b`"}}},
        WalkCase{"FrontMatter", "---\ntitle: \"x\"\n---\n# Body\n", {{K::Heading, "Body", "Body"}}},
        WalkCase{
            "PlusFrontMatter", "+++\ntitle = 1\n+++\nBody\n", {{K::Paragraph, "Body", "Body"}}},
        WalkCase{"DashesElsewhereAreBreaks",
                 "Intro\n\n---\n\nmore\n---\n",
                 {{K::Paragraph, "Intro", "Intro"}, {K::Heading, "more", "more"}}},
        WalkCase{
            "UnclosedFrontMatter", "---\ntitle: x\n", {{K::Paragraph, "title: x", "title: x"}}},
        WalkCase{"SmartPunctuation",
                 "\"Hello,\" she said -- 'twas it's done... --- *\"emph\"* \"*x*\"",
                 {{K::Paragraph,
                   "\u201CHello,\u201D she said \u2013 \u2019twas it\u2019s done\u2026 \u2014 "
                   "\u201Cemph\u201D \u201C x \u201D",
                   "\"Hello,\" she said -- 'twas it's done... --- *\"emph\"* \"*x*\""}}},
        WalkCase{"QuotesPairAcrossALink",
                 "'see [docs](u)'",
                 {{K::Paragraph, "\u2018see docs \u2019", "'see [docs](u)'"}}},
        WalkCase{"EscapedQuoteStaysStraight", "\\\"x\\\"", {{K::Paragraph, "\"x\"", "\"x\\\""}}},
        WalkCase{
            "CodeIsNotSmartened", "`a -- \"b\"`", {{K::Paragraph, "a -- \"b\"", "`a -- \"b\"`"}}},
        WalkCase{
            "MultiByteOffsets",
            "# Caf\u00E9\n\n\u00DCber na\u00EFve \U0001F600",
            {{K::Heading, "Caf\u00E9", "Caf\u00E9"},
             {K::Paragraph, "\u00DCber na\u00EFve \U0001F600", "\u00DCber na\u00EFve \U0001F600"}}},
        WalkCase{"Tabs", "-\tfoo\tbar\n", {{K::Item, "foo bar", "foo\tbar"}}},
        WalkCase{"NulCharacter",
                 std::string("a\0b", 3),
                 {{K::Paragraph, "a\uFFFDb", std::string("a\0b", 3)}}},
        WalkCase{"HeadingOfOnlyAnImage", "# ![x](y)\n\ntext", {{K::Paragraph, "text", "text"}}}),
    [](const auto& info) { return info.param.name; });

TEST(Walker, LongParagraphIsCutWithOneSpan) {
  std::string sentence = std::string(49, 'a') + ".";
  std::string source = "> " + sentence + " " + sentence + "\n> " + sentence + " " + sentence + "\n";
  ParsedMarkdownDocument doc = parse_markdown_document(source);
  ASSERT_EQ(doc.utterances.size(), 4u);
  for (const Utterance& u : doc.utterances) {
    EXPECT_EQ(u.text, sentence);
    EXPECT_EQ(u.kind, K::BlockQuote);
    EXPECT_EQ(u.start_offset, 2u);
    EXPECT_EQ(u.end_offset, source.size() - 1);
  }
}

// md4c looks one byte past the end of a document that stops inside a link; whatever lies there in
// the caller's memory must not change the result.
TEST(Walker, ReadsNothingPastTheEnd) {
  const std::string sources[] = {"[a](b", "x ![a](b", "- [ ] x\n[![l& v.c(s)](https:m"};
  for (const std::string& source : sources) {
    const ParsedMarkdownDocument reference = parse_markdown_document(source);
    for (char fill : {'\0', ')', '>', '\n', 'A', '\xFF'}) {
      std::string buffer = source + std::string(32, fill);
      ParsedMarkdownDocument doc =
          parse_markdown_document(std::string_view(buffer.data(), source.size()));
      EXPECT_EQ(doc.utterances, reference.utterances) << source << " + " << int(fill);
    }
    for (const Utterance& u : reference.utterances) EXPECT_LE(u.end_offset, source.size());
  }
}

TEST(Walker, SectionsAndTitleFollowHeadings) {
  ParsedMarkdownDocument doc =
      parse_markdown_document("Lead text.\n\n## First\n\nBody.\n\n# Second\n- item\n");
  ASSERT_EQ(doc.sections.size(), 3u);
  EXPECT_FALSE(doc.sections[0].heading.has_value());
  ASSERT_TRUE(doc.title.has_value());
  EXPECT_EQ(doc.title->text, "First");
  EXPECT_EQ(doc.sections[1].utterances.size(), 1u);
  ASSERT_TRUE(doc.sections[2].heading.has_value());
  EXPECT_EQ(doc.sections[2].heading->text, "Second");
  ASSERT_EQ(doc.sections[2].utterances.size(), 1u);
  EXPECT_EQ(doc.sections[2].utterances[0].kind, K::Item);
}

}  // namespace
}  // namespace mdspeak
