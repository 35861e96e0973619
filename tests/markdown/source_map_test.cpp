#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "markdown/markdown.h"
#include "source_map_check.h"

namespace mdspeak {
namespace {

using testing_support::words_of;

// Every word of every utterance in order, each with the source text its range must cover; the
// expected text is looked for from where the previous one started.
struct MapCase {
  const char* name;
  std::string source;
  std::vector<std::pair<std::string, std::string>> words;  // word, its source bytes
};

void PrintTo(const MapCase& c, std::ostream* os) {
  *os << c.name;
}

class SourceMapTest : public testing::TestWithParam<MapCase> {};

TEST_P(SourceMapTest, MapsEachWordToTheBytesThatGaveIt) {
  const MapCase& c = GetParam();
  const ParsedMarkdownDocument doc = parse_markdown_document(c.source);
  std::vector<std::pair<std::string, std::string>> got;
  std::vector<std::pair<std::size_t, std::size_t>> got_ranges;
  for (std::size_t u = 0; u < doc.utterances.size(); ++u) {
    const std::string& text = doc.utterances[u].text;
    for (const auto& w : words_of(text)) {
      SourceSpan r = doc.source_map.source_range(u, w.text_start, w.text_end);
      got.emplace_back(text.substr(w.text_start, w.text_end - w.text_start),
                       c.source.substr(r.first, r.second - r.first));
      got_ranges.emplace_back(r.first, r.second);
    }
  }
  ASSERT_EQ(got.size(), c.words.size()) << ::testing::PrintToString(got);
  std::size_t from = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].first, c.words[i].first) << i;
    const std::size_t at = c.source.find(c.words[i].second, from);
    ASSERT_NE(at, std::string::npos) << "bad test: " << c.words[i].second;
    EXPECT_EQ(got_ranges[i], std::make_pair(at, at + c.words[i].second.size()))
        << got[i].first << " maps to '" << got[i].second << "'";
    from = at;
  }
  EXPECT_EQ(testing_support::source_map_problems(c.source, doc), std::vector<std::string>{});
}

const std::string kLong =
    "The first sentence is long enough to stand alone here. It's the second one, which "
    "follows it in the same paragraph and makes the text longer than one utterance may be.";

INSTANTIATE_TEST_SUITE_P(
    Markdown, SourceMapTest,
    testing::Values(
        MapCase{"Apostrophe", "It's fine", {{"It\u2019s", "It's"}, {"fine", "fine"}}},
        MapCase{"Quotes",
                "say \"hi there\" 'now'",
                {{"say", "say"},
                 {"\u201Chi", "\"hi"},
                 {"there\u201D", "there\""},
                 {"\u2018now\u2019", "'now'"}}},
        MapCase{"DashesAndEllipsis",
                "a -- b---c wait...",
                {{"a", "a"}, {"\u2013", "--"}, {"b\u2014c", "b---c"}, {"wait\u2026", "wait..."}}},
        MapCase{
            "CharacterReferences",
            "AT&amp;T caf&#233; &copy; x",
            {{"AT&T", "AT&amp;T"}, {"caf\u00E9", "caf&#233;"}, {"\u00A9", "&copy;"}, {"x", "x"}}},
        MapCase{"Escapes", "a\\*b\\* \\# c", {{"a*b*", "a\\*b\\*"}, {"#", "#"}, {"c", "c"}}},
        MapCase{"InlineCode",
                "Use `a_b::c/d` now",
                {{"Use", "Use"}, {"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}, {"now", "now"}}},
        MapCase{"Emphasis",
                "**Note**: read *this* now",
                {{"Note:", "Note**:"}, {"read", "read"}, {"this", "this"}, {"now", "now"}}},
        MapCase{"Links",
                "See [the docs](http://x.org/a) and <http://y.org>.",
                {{"See", "See"},
                 {"the", "the"},
                 {"docs", "docs"},
                 {"and", "and"},
                 {"http://y.org.", "http://y.org>."}}},
        MapCase{"LineBreaks",
                "one\ntwo  \nthree\\\nfour",
                {{"one", "one"}, {"two", "two"}, {"three", "three"}, {"four", "four"}}},
        MapCase{"CollapsedWhiteSpace",
                "a  b\u00A0\u00A0c\u2003d",
                {{"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}}},
        MapCase{"TableRows",
                "| A | B c |\n|---|---|\n| x&amp;y | z |\n",
                {{"A,", "A"}, {"B", "B"}, {"c", "c"}, {"x&y;", "x&amp;y"}, {"z", "z"}}},
        MapCase{"EscapedPipeInTableCode", "| `x\\|y z` |\n|---|\n", {{"x|y", "x\\|y"}, {"z", "z"}}},
        MapCase{"TaskPrefixes",
                "- [ ] buy milk\n- [x]\n  sell it\n",
                {{"To", "[ ]"},
                 {"do:", "[ ]"},
                 {"buy", "buy"},
                 {"milk", "milk"},
                 {"Done:", "[x]"},
                 {"sell", "sell"},
                 {"it", "it"}}},
        MapCase{"NestedBlocks",
                "> - item\n>   two\n>\n> quoted\n",
                {{"item", "item"}, {"two", "two"}, {"quoted", "quoted"}}},
        MapCase{"LongParagraphCut",
                kLong,
                {{"The", "The"},
                 {"first", "first"},
                 {"sentence", "sentence"},
                 {"is", "is"},
                 {"long", "long"},
                 {"enough", "enough"},
                 {"to", "to"},
                 {"stand", "stand"},
                 {"alone", "alone"},
                 {"here.", "here."},
                 {"It\u2019s", "It's"},
                 {"the", "the"},
                 {"second", "second"},
                 {"one,", "one,"},
                 {"which", "which"},
                 {"follows", "follows"},
                 {"it", "it"},
                 {"in", "in"},
                 {"the", "the"},
                 {"same", "same"},
                 {"paragraph", "paragraph"},
                 {"and", "and"},
                 {"makes", "makes"},
                 {"the", "the"},
                 {"text", "text"},
                 {"longer", "longer"},
                 {"than", "than"},
                 {"one", "one"},
                 {"utterance", "utterance"},
                 {"may", "may"},
                 {"be.", "be."}}}),
    [](const auto& info) { return info.param.name; });

TEST(SourceMap, WithoutFinerKnowledgeGivesTheUtteranceRange) {
  const ParsedMarkdownDocument built = ParsedMarkdownDocument::from_utterances(
      {{"one two", 4, 20, UtteranceKind::Paragraph}, {"three", 30, 35, UtteranceKind::Item}});
  EXPECT_EQ(built.source_map.source_range(0, 4, 7), (SourceSpan{4, 20}));
  EXPECT_EQ(built.source_map.source_range(1, 0, 5), (SourceSpan{30, 35}));
  EXPECT_EQ(built.source_map.source_range(2, 0, 1), (SourceSpan{0, 0}));

  // Bytes that no source gave (the space inserted between two pieces, a cell separator) stand
  // between their neighbours' sources.
  const ParsedMarkdownDocument parsed = parse_markdown_document("*a*b\n\n|x|y|\n|---|---|\n");
  ASSERT_EQ(parsed.utterances.size(), 2u);
  ASSERT_EQ(parsed.utterances[0].text, "a b");
  EXPECT_EQ(parsed.source_map.source_range(0, 1, 2), (SourceSpan{2, 2}));
  ASSERT_EQ(parsed.utterances[1].text, "x, y");
  EXPECT_EQ(parsed.source_map.source_range(1, 1, 2), (SourceSpan{8, 8}));
}

// Every Markdown sample kept with the fuzz target, for the properties.
TEST(SourceMap, HoldsOnTheFuzzSamples) {
  const std::filesystem::path dir =
      std::filesystem::path(MDSPEAK_SOURCE_DIR) / "fuzz/markdown/corpus";
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string source(std::istreambuf_iterator<char>(in), {});
    const ParsedMarkdownDocument doc = parse_markdown_document(source);
    EXPECT_EQ(testing_support::source_map_problems(source, doc), std::vector<std::string>{})
        << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0u);
}

}  // namespace
}  // namespace mdspeak
