// The layers that md4c lacks: character references, smart punctuation, source positions of
// syntax the parser does not locate, and how pieces of text join a block.
#include <gtest/gtest.h>

#include "markdown/entities.h"
#include "markdown/smart_punctuation.h"
#include "markdown/source_ranges.h"
#include "markdown/walker.h"

namespace mdspeak::markdown {
namespace {

TEST(CharacterReferences, DecodesLikeCommonMark) {
  const std::pair<std::string, std::string> cases[] = {
      {"&amp;", "&"},           {"&AMP;", "&"},
      {"&copy;", "\u00A9"},     {"&NotEqualTilde;", "\u2242\u0338"},
      {"&zwnj;", "\u200C"},     {"&#65;", "A"},
      {"&#x41;", "A"},          {"&#X1F600;", "\U0001F600"},
      {"&#0;", "\uFFFD"},       {"&#xD800;", "\uFFFD"},
      {"&#x110000;", "\uFFFD"}, {"&#9999999;", "\uFFFD"},
      {"&nosuch;", "&nosuch;"}, {"&#xZZ;", "&#xZZ;"},
      {"&amp", "&amp"},
  };
  for (const auto& [raw, want] : cases) {
    std::string out = "<";
    append_character_reference(out, raw);
    EXPECT_EQ(out, "<" + want) << raw;
  }
}

TEST(CharacterReferences, TableIsSortedForLookup) {
  ASSERT_GT(kHtmlEntityCount, 2000u);
  for (std::size_t i = 1; i < kHtmlEntityCount; ++i) {
    ASSERT_LT(std::string_view(kHtmlEntities[i - 1].name), std::string_view(kHtmlEntities[i].name));
  }
  EXPECT_EQ(named_entity_value("Aacute"), "\u00C1");
  EXPECT_EQ(named_entity_value("zwj"), "\u200D");
  EXPECT_EQ(named_entity_value("amp;"), "");
}

std::string rewrite_inline_code(std::string_view code) {
  std::string out;
  Segments none;
  append_inline_code(out, code, none);
  return out;
}

std::string smarten(std::string_view text) {
  std::string out;
  Segments segments;
  SmartPunctuation smart(out, segments);
  smart.append(text, 0, text.size(), false);
  return out;
}

TEST(SmartPunctuation, RewritesQuotesDashesAndEllipses) {
  const std::pair<std::string, std::string> cases[] = {
      {"\"double\"", "\u201Cdouble\u201D"},
      {"'single'", "\u2018single\u2019"},
      {"it's", "it\u2019s"},
      {"'tis", "\u2019tis"},
      {"don't say 'no'", "don\u2019t say \u2018no\u2019"},
      {"\"unclosed", "\u201Cunclosed"},
      {"closed\" here", "closed\u201D here"},
      {"5'10\"", "5\u201910\u201D"},
      {"(\"x\")", "(\u201Cx\u201D)"},
      {"\"a 'b\" c'", "\u201Ca \u2019b\u201D c\u2019"},
      {"\"a\" \"b\"", "\u201Ca\u201D \u201Cb\u201D"},
      {"a - b", "a - b"},
      {"a--b", "a\u2013b"},
      {"a---b", "a\u2014b"},
      {"----", "\u2013\u2013"},
      {"-----", "\u2014\u2013"},
      {"------", "\u2014\u2014"},
      {"-------", "\u2014\u2013\u2013"},
      {"wait...", "wait\u2026"},
      {"....", "\u2026."},
      {"..", ".."},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(smarten(in), want) << in;
}

// Many openers of one kind waiting while the other kind comes and goes: a closer pairs with the
// nearest opener of its kind and drops the openers of the other kind that came after it.
TEST(SmartPunctuation, PairsAmongManyOpenersOfTheOtherKind) {
  constexpr int kCount = 3000;
  std::string unpaired, unpaired_want, nested, nested_want;
  for (int i = 0; i < kCount; ++i) {
    unpaired += " 'x";
    unpaired_want += " \u2019x";
    nested += " 'x";
    nested_want += " \u2018x";
  }
  nested += " \"y";
  nested_want += " \u201Cy";
  for (int i = 0; i < kCount; ++i) {
    unpaired += " x\"";
    unpaired_want += " x\u201D";
    nested += " x'";
    nested_want += " x\u2019";
  }
  nested += " z\"";  // its opener was dropped by the first closing '
  nested_want += " z\u201D";
  EXPECT_EQ(smarten(unpaired), unpaired_want);
  EXPECT_EQ(smarten(nested), nested_want);
}

TEST(SmartPunctuation, EscapedFirstCharacterStaysAsWritten) {
  std::string out;
  Segments segments;
  SmartPunctuation smart(out, segments);
  smart.append("\"x\"", 0, 3, true);
  EXPECT_EQ(out, "\"x\u201D");
}

TEST(SmartPunctuation, PairsAcrossRunsButNotOutOfASpan) {
  // 'a b' written as two runs of one block: the later quote turns the earlier into a left one.
  std::string source = "'a b'";
  std::string out;
  Segments segments;
  SmartPunctuation smart(out, segments);
  smart.append(source, 0, 2, false);
  smart.append(source, 2, 3, false);
  EXPECT_EQ(out, "\u2018a b\u2019");

  // Opened inside a span that then closes: it can no longer pair.
  out.clear();
  smart.reset();
  std::size_t mark = smart.mark();
  smart.append(source, 0, 2, false);
  smart.drop_to(mark);
  smart.append(source, 2, 3, false);
  EXPECT_EQ(out, "\u2019a b\u2019");
}

TEST(SmartPunctuation, UnwrittenTextStillPairs) {
  std::string source = "'a b'";
  std::string out;
  Segments segments;
  SmartPunctuation smart(out, segments);
  smart.append(source, 0, 2, false, false);
  smart.append(source, 2, 3, false);
  EXPECT_EQ(out, " b\u2019");
}

TEST(QuoteFlanking, ReadsTheSourceAroundTheQuote) {
  struct Case {
    std::string source;
    std::size_t pos;
    bool open, close;
  };
  const Case cases[] = {
      {"\"a", 0, true, false},     {"a\"", 1, false, true},   {"a\"b", 1, false, false},
      {"a \" b", 2, false, false}, {"(\"a", 1, true, false},  {"a\".", 1, false, true},
      {"> \"a", 2, true, false},   {">\"a", 1, true, false},  {"x>\"a", 2, true, false},
      {"])'a", 2, false, false},   {"])\"a", 2, true, false}, {"\u00E9'", 2, false, true},
  };
  for (const Case& c : cases) {
    QuoteFlanking f = quote_flanking(c.source, c.pos);
    EXPECT_EQ(f.can_open, c.open) << c.source;
    EXPECT_EQ(f.can_close, c.close) << c.source;
  }
}

TEST(FrontMatter, MeasuresTheLeadingBlock) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"---\na: 1\n---\nrest", 13},
      {"---\na\n...\n", 10},
      {"+++\na = 1\n+++", 13},
      {"---  \r\na\r\n---\t\r\nx", 16},
      {"---\n---\n", 8},
      {"---\n\na\n---\n", 0},  // blank line after the fence: a thematic break
      {"---\na\n", 0},         // never closed
      {"+++\na\n---\n", 0},    // closed by the other kind
      {"---\na\n+++\n", 0},
      {" ---\na\n---\n", 0},  // not at the very start
      {"----\na\n----\n", 0},
      {"x\n---\na\n---\n", 0},
      {"---", 0},
      {"", 0},
  };
  for (const auto& [source, want] : cases) EXPECT_EQ(front_matter_length(source), want) << source;
  // A byte order mark before the block is skipped with it; anywhere else it is text.
  const std::pair<std::string, std::size_t> unread[] = {
      {"\xEF\xBB\xBF---\na\n---\nx", 13},
      {"\xEF\xBB\xBF# T", 3},
      {"\xEF\xBB\xBF", 3},
      {" \xEF\xBB\xBF---\na\n---\n", 0},
      {"---\na\n---\n\xEF\xBB\xBFx", 10},
      {"\xEF\xBB", 0},
  };
  for (const auto& [source, want] : unread) EXPECT_EQ(unread_prefix_length(source), want) << source;
}

// The source text a span covers.
std::string covered(std::string_view source, SourceSpan span) {
  return std::string(source.substr(span.first, span.second - span.first));
}

TEST(SourceRanges, CodeSpanIncludesItsFences) {
  struct Case {
    std::string source, content, want;
  };
  const Case cases[] = {
      {"a `code` b", "code", "`code`"},
      {"a `` x`y `` b", "x`y", "`` x`y ``"},
      {"> a `x\n> y` b", "x\n> y", "`x\n> y`"},
      {"`  ` b", "  ", "`  `"},
  };
  for (const Case& c : cases) {
    std::size_t at = c.source.find(c.content);
    EXPECT_EQ(covered(c.source, code_span_range(c.source, at, at + c.content.size())), c.want)
        << c.source;
  }
  std::string empty = "x `\n` y";
  auto span = empty_code_span_range(empty, 1);
  ASSERT_TRUE(span.has_value());
  EXPECT_EQ(covered(empty, *span), "`\n`");
  EXPECT_FALSE(empty_code_span_range("no fences", 0).has_value());
}

TEST(SourceRanges, BreakCoversItsLineEnd) {
  struct Case {
    std::string source;
    std::size_t after;
    std::optional<std::size_t> next;
    bool hard;
    SourceSpan want;
  };
  const Case cases[] = {
      {"ab\ncd", 2, 3, false, {2, 3}},
      {"ab\r\ncd", 2, 4, false, {2, 4}},
      {"ab\rcd", 2, 3, false, {2, 3}},
      {"ab  \ncd", 2, 5, true, {2, 5}},
      // A space before a soft break is not part of it (`![foo] \n[]` starts at the line end).
      {"ab \ncd", 2, 4, false, {3, 4}},
      {"ab\t\ncd", 3, 4, false, {3, 4}},
      {"ab\\\ncd", 2, 4, true, {2, 4}},
      {"ab\n> cd", 2, 5, false, {2, 3}},
      // The line end nearest the following content, not the one inside a link title.
      {"[](u \"t\nx\")\ncd", 0, 12, false, {11, 12}},
      {"ab\ncd", 2, std::nullopt, false, {2, 3}},
      {"ab", 2, std::nullopt, false, {2, 2}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(break_range(c.source, c.after, c.next, c.hard), c.want) << c.source;
  }
}

TEST(SourceRanges, TableRowIsItsWholeLine) {
  struct Case {
    std::string source, content;
    std::size_t cell;
    std::string want;
  };
  const Case cases[] = {
      {"| a | b |\n|---|---|\n", "a", 0, "| a | b |\n"},
      {"x\n|  | yy |\r\nz", "yy", 1, "|  | yy |\r\n"},
      {"a | bb\n--- | ---", "bb", 1, "a | bb\n"},
      {"> | a |\n", "a", 0, "| a |\n"},
      {"> a | b", "b", 1, "a | b"},
      {"| a\\|b | c |", "c", 1, "| a\\|b | c |"},
      // A pipe after a backslash is text even when the backslash is escaped (GFM splits so).
      {"a\\\\| b | c", "c", 1, "a\\\\| b | c"},
  };
  for (const Case& c : cases) {
    std::size_t at = c.source.find(c.content);
    EXPECT_EQ(covered(c.source, table_row_range(c.source, at, c.cell)), c.want) << c.source;
  }
}

TEST(AppendText, JoinsPiecesWithOneSpace) {
  struct Case {
    std::vector<std::string> pieces;
    std::string want;
  };
  const Case cases[] = {
      {{"foo", "bar"}, "foo bar"}, {{"Note", ": read"}, "Note: read"},
      {{"a", "!"}, "a!"},          {{"a", "?", ",", ".", ";"}, "a?,.;"},
      {{"a ", " b"}, "a b"},       {{"x\ny", "\n"}, "x y"},
      {{"\u00A0a\u3000"}, "a"},    {{"a", "-b"}, "a -b"},
  };
  for (const Case& c : cases) {
    Context ctx;
    for (const std::string& piece : c.pieces) append_text(ctx, piece, SourceSpan{0, 1});
    EXPECT_EQ(ctx.text, c.want);
  }
}

TEST(AppendText, WidensTheRangeEvenForBlankPieces) {
  Context ctx;
  append_text(ctx, "word", SourceSpan{10, 14});
  append_text(ctx, " ", SourceSpan{14, 15});
  append_text(ctx, "", SourceSpan{4, 6});
  append_text(ctx, "more", std::nullopt);
  EXPECT_EQ(ctx.text, "word more");
  EXPECT_EQ(ctx.range, (SourceSpan{4, 15}));

  Context row;
  row.kind = ContextKind::TableRow;
  append_text(row, "cell", SourceSpan{0, 4});
  EXPECT_EQ(row.text, "");
  EXPECT_FALSE(row.range.has_value());
}

TEST(InlineCode, SpeaksSeparatorsAsSpaces) {
  const std::pair<std::string, std::string> cases[] = {
      {"config::load_file", "config load file"},
      {"a_b::c/d", "a b c d"},
      {"C:\\path", "C: path"},
      {":::", " :"},
      {"x + y", "x + y"},
  };
  for (const auto& [code, want] : cases) EXPECT_EQ(rewrite_inline_code(code), want) << code;
}

}  // namespace
}  // namespace mdspeak::markdown
