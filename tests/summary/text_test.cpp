#include "summary/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/unicode.h"

namespace mdspeak {
namespace {

struct Mapping {
  std::string input;
  std::string want;
};

TEST(SummaryTextTest, NormalizeForMatchingKeepsOnlyAlphanumericWords) {
  const std::vector<Mapping> cases = {
      {"Getting-Started (step 2)!", "getting started step 2"},
      {"Q&A list", "q a list"},
      {"don't", "don t"},
      {"ÉTAT", "État"},  // only ASCII capitals are lowered
      {"---", ""},
      {"", ""},
      {"  Hello\u00A0\u2003World\n", "hello world"},
      {"snake_case/path::name", "snake case path name"},
      {"naïve café", "naïve café"},
      {"x² ½ Ⅻ", "x² ½ Ⅻ"},  // No and Nl are numeric
      {"東京-タワー", "東京 タワー"},
      {"bad\xFFutf8", "bad utf8"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_for_matching(c.input), c.want) << c.input;
}

TEST(SummaryTextTest, ContainsAnyMatchesWholeWordsOfTheMatchingForm) {
  struct Case {
    std::string text;  // normalised before the test
    std::vector<std::string_view> keywords;
    bool want;
  };
  const std::vector<Case> cases = {
      {"API reference", {"api"}, true},
      {"API reference", {"reference"}, true},
      {"APIs", {"api"}, false},
      {"release notes", {"release notes"}, true},
      {"release notes", {"release note"}, false},
      {"build-tools", {"build"}, true},
      {"To-Do", {"to do"}, true},
      {"runner", {"run"}, false},
      {"Run it", {"runner", "run"}, true},
      {"xapi then api", {"api"}, true},  // a later occurrence can still be whole
      {"apix xapi", {"api"}, false},
      {"the next step now", {"next steps"}, false},
      {"anything", {}, false},
      {"", {"api"}, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(contains_any(normalize_for_matching(c.text), c.keywords), c.want) << c.text;
  }
}

TEST(SummaryTextTest, StartsWithPhraseComparesMatchingForms) {
  struct Case {
    std::string text;
    std::string phrase;
    bool want;
  };
  const std::vector<Case> cases = {
      {"The Parser: details", "the parser", true},
      {"Parser", "the parser", false},
      {"the parser", "The par", true},  // no word end is required
      {"Quill is a tool.", "QUILL", true},
      {"anything", "", true},
      {"anything", "?!", true},
      {"", "a", false},
      {"État civil", "état", false},  // É is not lowered, é is not raised
  };
  for (const auto& c : cases) {
    EXPECT_EQ(starts_with_phrase(c.text, c.phrase), c.want) << c.text << " / " << c.phrase;
  }
}

TEST(SummaryTextTest, GenericHeadingsCompareWholeMatchingForm) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"How It Works", true},
      {"Overview:", true},
      {"README", true},
      {"  Current   scope ", true},
      {"Quick overview", false},
      {"Configurations", false},
      {"", false},
      {"Notes!", true},
      {"Note", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(is_generic_heading(text), want) << text;
}

TEST(SummaryTextTest, NormalizeSentenceCollapsesAndTerminates) {
  const std::vector<Mapping> cases = {
      {" Hello\n  world", "Hello world."},
      {"Done!", "Done!"},
      {"Really?", "Really?"},
      {" \t\n\u3000", ""},
      {"a\u00A0\u2028b", "a b."},
      {"Wait...", "Wait..."},
      {"Ends with a space .\u2003", "Ends with a space ."},
      {"Quoted \"end\"", "Quoted \"end\"."},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_sentence(c.input), c.want) << c.input;
}

TEST(SummaryTextTest, NormalizeSentenceAgreesWithCollapsingOnMixedWhiteSpace) {
  // Pieces that take both the already-collapsed path and the full one.
  const std::vector<std::string> pieces = {"a",      "Word",   " ",        "  ",    "\t", "\n",
                                           "\u00A0", "\u2003", "\u3000",   "é",     "—",  ".",
                                           "?",      "\xC2",   "\xE2\x80", "\u0085"};
  std::uint32_t state = 99;
  for (int n = 0; n < 5000; ++n) {
    std::string text;
    for (int i = 0; i < 6; ++i) {
      state = state * 1664525u + 1013904223u;
      text += pieces[(state >> 8) % pieces.size()];
    }
    std::string want;
    for (std::string_view w : unicode::split_on_white_space(text))
      want.append(want.empty() ? "" : " ").append(w);
    if (!want.empty() && want.back() != '.' && want.back() != '!' && want.back() != '?') {
      want += '.';
    }
    ASSERT_EQ(normalize_sentence(text), want) << text;
  }
}

TEST(SummaryTextTest, LowercaseSentenceStartLowersOnlyOrdinaryCapitalisedWords) {
  const std::vector<Mapping> cases = {
      {"Élan vital", "élan vital"},
      {"X", "X"},
      {"JSON output", "JSON output"},
      {"A quick start", "A quick start"},
      {"The end", "the end"},
      {"  The end\t", "the end"},
      {"", ""},
      {"İstanbul", "i\u0307stanbul"},  // full mapping: two characters
      {"Ωmega", "ωmega"},
      {"1st place", "1st place"},
      {"the end", "the end"},
  };
  for (const auto& c : cases) EXPECT_EQ(lowercase_sentence_start(c.input), c.want) << c.input;
}

}  // namespace
}  // namespace mdspeak
