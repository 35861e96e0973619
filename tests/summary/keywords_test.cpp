#include "summary/keywords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unicode.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

// Keyword pieces, near misses (longer words containing keywords, plurals), capitals and
// non-ASCII words.
const std::vector<std::string> VOCABULARY = {
    "run",     "runner",        "Runbook",   "api",    "APIs",  "release", "note", "notes",
    "next",    "Step",          "steps",     "to",     "do",    "todo",    "how",  "it",
    "works",   "getting",       "started",   "action", "item",  "items",   "only", "STATUS",
    "config",  "configuration", "error",     "design", "plan",  "planet",  "x",    "caveat",
    "update",  "updates",       "",          "env",    "scope", "shipped", "t",    "xrun",
    "subplan", "preapi",        "unshipped", "café",   "Été",   "naïve",   "2024",
};

// The plain reading: the first list, in test order, that contains_any finds.
SectionKind kind_by_lists(std::string_view matching_text) {
  for (SectionKind kind :
       {SectionKind::Planning, SectionKind::Status, SectionKind::Caveat, SectionKind::Setup,
        SectionKind::Reference, SectionKind::Runbook, SectionKind::Overview}) {
    if (contains_any(matching_text, keyword_list(kind))) return kind;
  }
  return SectionKind::General;
}

// Fixed pseudo-random sequence, so that failures reproduce.
class Sequence {
 public:
  std::uint32_t next(std::uint32_t bound) {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 8) % bound;
  }

 private:
  std::uint32_t state_ = 12345;
};

TEST(SummaryKeywordsTest, MatcherAgreesWithTheMatchingFormOfTheJoinedTexts) {
  // Separators of every kind, including Unicode white space and punctuation, and texts long
  // enough to cross the matcher's 64-byte blocks.
  const std::vector<std::string> separators = {" ",      "  ", "-",  "\t",  ", ",
                                               "\n",     "\r", "\f", "\v",  "\u00A0",
                                               "\u2003", "/",  "'",  "...", "\xFF"};
  Sequence random;
  for (int n = 0; n < 5000; ++n) {
    std::vector<std::string> texts(1 + random.next(3));
    for (std::string& text : texts) {
      const std::uint32_t length = random.next(40);
      for (std::uint32_t i = 0; i < length; ++i) {
        if (i > 0 || random.next(4) == 0) text += separators[random.next(separators.size())];
        text += VOCABULARY[random.next(VOCABULARY.size())];
      }
    }
    KeywordMatcher matcher;
    std::string joined;
    for (const std::string& text : texts) {
      ASSERT_EQ(matcher.feed(text), unicode::split_on_white_space(text).size()) << text;
      if (!joined.empty()) joined += ' ';
      joined += text;
    }
    ASSERT_EQ(matcher.kind(), kind_by_lists(normalize_for_matching(joined))) << joined;
  }
}

TEST(SummaryKeywordsTest, KeywordsOfSeveralWordsSpanTextsAndPunctuation) {
  struct Case {
    std::vector<std::string> texts;
    SectionKind want;
  };
  const std::vector<Case> cases = {
      {{"Next", "steps: none"}, SectionKind::Planning},  // across texts
      {{"To-Do"}, SectionKind::Planning},
      {{"How it (really) works"}, SectionKind::General},  // a word between breaks it
      {{"how", "it", "works"}, SectionKind::Overview},
      {{"Why it works"}, SectionKind::General},  // every word of a keyword counts
      {{"release notes"}, SectionKind::Status},
      {{"runner-up"}, SectionKind::General},
      {{"build-tools"}, SectionKind::Setup},
      {{"ÉNOTE"}, SectionKind::General},  // a non-ASCII capital is not lowered
      {{}, SectionKind::General},
  };
  for (const auto& c : cases) {
    KeywordMatcher matcher;
    for (const auto& text : c.texts) matcher.feed(text);
    EXPECT_EQ(matcher.kind(), c.want) << (c.texts.empty() ? "" : c.texts.front());
  }
}

}  // namespace
}  // namespace mdspeak
