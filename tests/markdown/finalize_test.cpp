#include <gtest/gtest.h>

#include "common/unicode.h"
#include "markdown/finalize.h"
#include "markdown/markdown.h"

namespace mdspeak {
namespace {

void finalize_text(std::vector<Utterance>& out, std::string_view text,
                   std::optional<SourceSpan> span, UtteranceKind kind) {
  markdown::Segments none;
  markdown::append_utterances(out, text, span, kind, none, nullptr);
}

// The reference: the words between runs of white space, joined by single spaces.
std::string joined_words(std::string_view text) {
  std::string out;
  for (std::string_view w : unicode::split_on_white_space(text))
    out.append(out.empty() ? "" : " ").append(w);
  return out;
}

TEST(NormalizeWhitespace, CollapsesEveryWhiteSpaceRun) {
  const std::pair<std::string, std::string> cases[] = {
      {"  a \t b\n", "a b"}, {"\u00A0x\u3000\u3000y\u2028", "x y"}, {"a\u0085b\r\nc", "a b c"},
      {" \t\n ", ""},        {"caf\u00E9 ok", "caf\u00E9 ok"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(normalize_whitespace(in), want) << in;
}

// Every sequence of up to four tricky pieces, long plain runs included so that text is also
// scanned eight and sixteen bytes at a time, cleans exactly as the shared white-space helper does.
TEST(NormalizeWhitespace, AgreesWithSharedCollapse) {
  const std::string pieces[] = {
      "a",      "bc",     " ",      "  ",           "\t",     "\u00A0",           "\n",
      "\u2014", "\u3000", "\u00E9", "0123456789ab", "\u1680", "0123456789abcdefg"};
  std::vector<std::string> texts{""};
  for (int length = 0; length < 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& t : texts) {
      for (const std::string& p : pieces) longer.push_back(t + p);
    }
    for (const std::string& t : longer) {
      ASSERT_EQ(normalize_whitespace(t), joined_words(t)) << t;
    }
    texts = std::move(longer);
  }
}

std::string repeat(std::string_view piece, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += piece;
  return s;
}

// A sentence of exactly `bytes` bytes ending in a full stop.
std::string sentence(std::size_t bytes) {
  return std::string(bytes - 1, 'a') + ".";
}

std::string join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string s;
  for (std::size_t i = 0; i < parts.size(); ++i) s += (i ? std::string(sep) : "") + parts[i];
  return s;
}

struct CutCase {
  const char* name;
  std::string text;
  std::vector<std::string> pieces;
};

class FinalizeTest : public testing::TestWithParam<CutCase> {};

TEST_P(FinalizeTest, CutsIntoPieces) {
  const CutCase& c = GetParam();
  std::vector<Utterance> out;
  finalize_text(out, c.text, SourceSpan{5, 9}, UtteranceKind::Item);
  std::vector<std::string> texts;
  for (const Utterance& u : out) {
    texts.push_back(u.text);
    EXPECT_EQ(u.start_offset, 5u);
    EXPECT_EQ(u.end_offset, 9u);
    EXPECT_EQ(u.kind, UtteranceKind::Item);
  }
  EXPECT_EQ(texts, c.pieces);
}

const std::string k180 = std::string(180, 'x');
const std::string k181 = std::string(181, 'x');
const std::string kTwoByte90 = repeat("\u00E9", 90);
const std::string kTwoByte91 = repeat("\u00E9", 91);
const std::vector<std::string> kFour50 = {sentence(50), sentence(50), sentence(50), sentence(50)};
const std::string kCommas = std::string(60, 'a') + ", " + std::string(60, 'b') + ", " +
                            std::string(40, 'c') + ", " + std::string(29, 'd') + ".";

INSTANTIATE_TEST_SUITE_P(
    Markdown, FinalizeTest,
    testing::Values(CutCase{"WhiteSpaceOnly", " \n\t ", {}},
                    CutCase{"Short", "  Hello \n world ", {"Hello world"}},
                    CutCase{"Exactly180", k180, {k180}},
                    CutCase{"Over180WithoutMarks", k181, {k181}},
                    CutCase{"NinetyTwoByteChars", kTwoByte90, {kTwoByte90}},
                    CutCase{"NinetyOneTwoByteChars", kTwoByte91, {kTwoByte91}},
                    CutCase{"FourLongSentences", join(kFour50, " "), kFour50},
                    CutCase{"ShortSentencesPair",
                            join(std::vector<std::string>(10, sentence(20)), " "),
                            std::vector<std::string>(5, sentence(20) + " " + sentence(20))},
                    CutCase{"CommaFallback",
                            kCommas,
                            {std::string(60, 'a'), std::string(60, 'b'), std::string(40, 'c'),
                             std::string(29, 'd') + "."}},
                    CutCase{"NoEmptyPartBetweenCommas",
                            std::string(100, 'a') + ",, " + std::string(100, 'b'),
                            {std::string(100, 'a'), std::string(100, 'b')}},
                    CutCase{"MarkInsideNumberCuts",
                            std::string(45, 'a') + " 3.14 " + std::string(150, 'b') + ".",
                            {std::string(45, 'a') + " 3.", "14 " + std::string(150, 'b') + "."}}),
    [](const auto& info) { return info.param.name; });

TEST(FinalizeText, NeedsASpan) {
  std::vector<Utterance> out;
  finalize_text(out, "text", std::nullopt, UtteranceKind::Paragraph);
  EXPECT_TRUE(out.empty());
}

TEST(FinalizeText, RaisesEndToStart) {
  std::vector<Utterance> out;
  finalize_text(out, "text", SourceSpan{7, 3}, UtteranceKind::Paragraph);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].start_offset, 7u);
  EXPECT_EQ(out[0].end_offset, 7u);
}

TEST(FinalizeText, AppendsAfterExistingUtterances) {
  std::vector<Utterance> out{{"first", 0, 1, UtteranceKind::Heading}};
  finalize_text(out, "second", SourceSpan{2, 4}, UtteranceKind::TableRow);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1], (Utterance{"second", 2, 4, UtteranceKind::TableRow}));
}

}  // namespace
}  // namespace mdspeak
