#include "speech/words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mdspeak {
namespace {

TEST(SplitWords, WhiteSpaceDelimitedRunsThatHoldALetterOrDigit) {
  struct Case {
    std::string text;
    std::vector<std::string> words;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"   ", {}},
      {"Hello, world.", {"Hello,", "world."}},
      {"it’s (see 3.5) — ok…", {"it’s", "(see", "3.5)", "ok…"}},
      {"a - b … c", {"a", "b", "c"}},
      {"año\u00A0niño\u3000東京", {"año", "niño", "東京"}},
      {"\t x\n", {"x"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> got;
    std::size_t after_last = 0;
    for (const WordMark& w : split_words(c.text)) {
      EXPECT_LE(after_last, w.begin) << c.text;  // in order, no byte in two words
      after_last = w.end;
      got.push_back(c.text.substr(w.begin, w.end - w.begin));
    }
    EXPECT_EQ(got, c.words) << c.text;
  }
}

}  // namespace
}  // namespace mdspeak
