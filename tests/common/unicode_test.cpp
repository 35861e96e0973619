#include "common/unicode.h"

#include "common/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mdspeak::unicode {
namespace {

TEST(UnicodeTest, TrimRemovesEveryWhiteSpaceKindAtBothEnds) {
  struct Case {
    std::string input;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"  \t\n", ""},
      {"\u00A0hello\u3000", "hello"},
      {"\u2028a b\u2029", "a b"},
      {"\u0085x\u202F", "x"},
      {"\u200Bx", "\u200Bx"},  // zero-width space is not White_Space
      {"é", "é"},
      {" ñandú ", "ñandú"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::trim(c.input), c.want) << c.input;
}

TEST(UnicodeTest, SplitAndCollapseAtUnicodeWhiteSpace) {
  EXPECT_EQ(split_on_white_space("  a\u00A0b\tc\u3000\u3000d "),
            (std::vector<std::string_view>{"a", "b", "c", "d"}));
  EXPECT_TRUE(split_on_white_space(" \n ").empty());
  EXPECT_EQ(text::collapse_white_space(" Hello\n  world\u2003! "), "Hello world !");
  EXPECT_EQ(text::collapse_white_space("\t"), "");
}

// The mark wherever it stands against the sixteen-byte steps, and wherever the search starts.
TEST(TextTest, FindAnyFindsTheFirstMarkFromWhereItStarts) {
  for (std::size_t size = 0; size < 40; ++size) {
    for (std::size_t mark = 0; mark <= size; ++mark) {
      std::string t(size, '\xE9');
      if (mark < size) t[mark] = ';';
      if (mark + 3 < size) t[mark + 3] = '.';
      for (std::size_t from = 0; from <= size; ++from) {
        EXPECT_EQ((text::find_any<'.', ';'>(t, from)), std::min(t.find_first_of(".;", from), size))
            << size << " " << mark << " " << from;
      }
    }
  }
}

TEST(UnicodeTest, Utf8ValidationRejectsMalformedSequences) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"plain", true},
      {"é€😀", true},
      {"\xEF\xBF\xBD", true},       // a genuine U+FFFD
      {"\xC3", false},              // truncated
      {"\xC0\xAF", false},          // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // stray continuation
      {"ok\xFF", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
}

TEST(UnicodeTest, EncodeDecodeRoundTrip) {
  for (char32_t cp : {U'a', U'\u00E9', U'\u20AC', U'\U0001F600', U'\U0010FFFF'}) {
    std::string s;
    append_utf8(s, cp);
    std::size_t pos = 0;
    EXPECT_EQ(next_code_point(s, pos), cp);
    EXPECT_EQ(pos, s.size());
  }
}

TEST(UnicodeTest, CharacterProperties) {
  EXPECT_TRUE(is_alphabetic(U'ñ'));
  EXPECT_TRUE(is_alphabetic(U'Ж'));
  EXPECT_TRUE(is_alphabetic(U'中'));
  EXPECT_FALSE(is_alphabetic(U'3'));
  EXPECT_TRUE(is_numeric(U'3'));
  EXPECT_TRUE(is_numeric(U'\u00BD'));  // ½ (No)
  EXPECT_TRUE(is_numeric(U'\u2167'));  // Ⅷ (Nl)
  EXPECT_FALSE(is_numeric(U'中'));
  EXPECT_FALSE(is_alphanumeric(U'-'));
  EXPECT_TRUE(is_uppercase(U'É'));
  EXPECT_TRUE(is_lowercase(U'é'));
  EXPECT_FALSE(is_uppercase(U'1'));
  EXPECT_EQ(full_lowercase(U'É'), "é");
  EXPECT_EQ(full_lowercase(U'\u0130'), "i\u0307");  // İ lowers to two characters
  EXPECT_EQ(full_lowercase(U'A'), "a");
}

}  // namespace
}  // namespace mdspeak::unicode
