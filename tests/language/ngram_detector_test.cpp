#include "language/ngram_detector.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "common/unicode.h"

namespace mdspeak::language_detail {
namespace {

using Lang = std::optional<SupportedLanguage>;
constexpr auto kEnglish = SupportedLanguage::English;
constexpr auto kSpanish = SupportedLanguage::Spanish;

std::vector<ProfileEntry> profile(std::vector<std::pair<std::u32string, std::uint64_t>> entries) {
  std::vector<ProfileEntry> out;
  for (auto& [ngram, count] : entries) out.push_back({ngram, count});
  return out;
}

TEST(ParseProfile, ReadsNgramTabCountLines) {
  struct Case {
    std::string text;
    std::vector<std::pair<std::u32string, std::uint64_t>> expected;
  };
  const std::vector<Case> cases = {
      {"_\t 20326\ne\t 6617\n", {{U"_", 20326}, {U"e", 6617}}},
      {"ción\t12", {{U"ción", 12}}},                     // UTF-8, no final newline
      {"ab\t 3 \r\nc\t4\r\n", {{U"ab", 3}, {U"c", 4}}},  // CRLF and trailing blanks
      {"s,_\t 7\n", {{U"s,_", 7}}},                      // punctuation is part of an n-gram
      {"abc 5\n\t5\nx\t\nx\t-3\nx\t0\nx\t12a\n\n", {}},  // malformed lines are skipped
      {"a\t5\nb\t4\na\t3\n", {{U"a", 5}, {U"b", 4}}},    // a repeated n-gram keeps its first
  };
  for (const auto& c : cases) {
    const auto parsed = parse_profile(c.text);
    ASSERT_EQ(parsed.size(), c.expected.size()) << c.text;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      EXPECT_EQ(parsed[i].ngram, c.expected[i].first) << c.text;
      EXPECT_EQ(parsed[i].count, c.expected[i].second) << c.text;
    }
  }
}

TEST(EmbeddedProfiles, HoldTheInstalledRankings) {
  struct Case {
    SupportedLanguage language;
    std::u32string frequent_word;
  };
  for (const auto& c : {Case{kEnglish, U"_the_"}, Case{kSpanish, U"_que_"}}) {
    const auto entries = parse_profile(embedded_profile(c.language));
    ASSERT_GE(entries.size(), 300u);
    EXPECT_EQ(entries.front().ngram, U"_");  // the word boundary is the commonest n-gram
    bool found = false;
    for (std::size_t i = 1; i < entries.size(); ++i) {
      EXPECT_LE(entries[i].count, entries[i - 1].count) << "ranked by count";
      found = found || entries[i].ngram == c.frequent_word;
    }
    EXPECT_TRUE(found);
  }
}

// Profiles whose counts make every log-probability a whole multiple of ln 2, so that expected
// margins can be worked out by hand. In both, an absent n-gram scores ln(1/4) in English.
const NgramDetector& symmetric() {
  // English: "_" and "a" ln(1/2), absent ln(1/4). Spanish the same with "b".
  static const NgramDetector detector(profile({{U"_", 2}, {U"a", 2}}),
                                      profile({{U"_", 2}, {U"b", 2}}));
  return detector;
}
const NgramDetector& lopsided() {
  // Spanish total 4, smallest 1: "_" and "b" ln(1/4), "c" ln(1/2), absent ln(1/8).
  static const NgramDetector detector(profile({{U"_", 2}, {U"a", 2}}),
                                      profile({{U"_", 1}, {U"b", 1}, {U"c", 2}}));
  return detector;
}

TEST(NgramDetector, MarginSumsLogProbabilitiesOfPaddedWordNgrams) {
  struct Case {
    std::string text;
    double symmetric_ln2;
    double lopsided_ln2;
  };
  const std::vector<Case> cases = {
      {"", 0, 0},
      {"123 ,;! 45", 0, 0},  // no word at all
      {"a", 1, 7},           // _ a _ _a a_ _a_
      {"b", -1, 5},
      {"ab", 0, 10},
      {"aa", 2, 12},
      {"aaaaaa", 6, 36},  // 30 n-grams: at most five code points each
      // Words end at white space of any kind, digits, punctuation and symbols.
      {"a a", 2, 14},
      {"a\u00A0a", 2, 14},
      {"a\u3000a", 2, 14},
      {"a1a", 2, 14},
      {"a,a", 2, 14},
      {"a_a", 2, 14},
      {"a+a", 2, 14},
      {"Ab", -1, 9},       // case is kept: "A" is in neither profile
      {"\xC3\xA9", 0, 6},  // a letter in neither profile still forms a word
      // Code-like tokens are left out while any prose token has a letter...
      {"a -b", 1, 7},
      {"a %b b/b b=b <b> [b] b|b b\\b b_b b@b $b #b `b`", 1, 7},
      {"a 'b' b.b\u3000b'", 1, 7},
      // ...and are all there is otherwise.
      {"-b", -1, 5},
      {"-a b_b 12", -1, 17},
  };
  const double ln2 = std::log(2.0);
  for (const auto& c : cases) {
    EXPECT_NEAR(symmetric().english_margin(c.text) / ln2, c.symmetric_ln2, 1e-4) << c.text;
    EXPECT_NEAR(lopsided().english_margin(c.text) / ln2, c.lopsided_ln2, 1e-4) << c.text;
  }
}

TEST(NgramDetector, HigherScoreWinsAndTieAnswersNothing) {
  struct Case {
    std::string text;
    Lang expected;
  };
  const std::vector<Case> cases = {
      {"a", kEnglish},    {"b", kSpanish},      {"ab", std::nullopt},
      {"ab a", kEnglish}, {"b ab b", kSpanish}, {"1234", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(symmetric().classify(c.text), c.expected) << c.text;
}

TEST(NgramDetector, AnswersOnlyWhenLatinIsTheMostFrequentScript) {
  struct Case {
    std::string text;
    Lang expected;
  };
  const std::vector<Case> cases = {
      {"aa \u0436", kEnglish},                       // two Latin letters to one Cyrillic
      {"a \u0436", std::nullopt},                    // a tie is not a majority
      {"a \u0436\u0436", std::nullopt},              // Cyrillic leads
      {"aa \u4E2D\u6587\u5B57", std::nullopt},       // Han leads
      {"a\u0301\u0301 \u2605 \u2713 42", kEnglish},  // marks, symbols, digits are no script
      {"\u0436\u0436\u0436", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(symmetric().classify(c.text), c.expected) << c.text;
}

TEST(NgramDetector, WithoutProfilesAnswersNothing) {
  const NgramDetector empty({}, profile({{U"a", 1}}));
  EXPECT_EQ(empty.classify("a a a a a a a a a a a a a a a a a a a a"), std::nullopt);
  EXPECT_EQ(empty.english_margin("a"), 0);
}

// Evidence gathered from the pieces in two parts, the later part first, adds up to exactly the
// evidence of all of them: prose and code-like tokens, other scripts, and words queued for
// scoring when a part ends.
TEST(NgramDetector, EvidenceOfPartsAddsUpToTheWhole) {
  const std::vector<std::string_view> pieces = {"The service reads Markdown documents aloud.",
                                                "el niño comió en la casa",
                                                "std::vector<int> x = f(a, b);",
                                                "Привет мир",
                                                "",
                                                "it's a \"quoted\" word",
                                                "config.yaml --verbose",
                                                "caf\u00E9 ol\u00E9 se\u00F1or"};
  const NgramDetector& detector = shared_detector();
  NgramDetector::Evidence whole;
  detector.gather(pieces, whole);
  for (std::size_t cut = 0; cut <= pieces.size(); ++cut) {
    const std::span<const std::string_view> all(pieces);
    NgramDetector::Evidence parts;
    detector.gather(all.subspan(cut), parts);
    NgramDetector::Evidence first;
    detector.gather(all.subspan(0, cut), first);
    parts += first;
    EXPECT_TRUE(parts == whole) << "cut before piece " << cut;
    EXPECT_EQ(detector.classify(parts), detector.classify(all));
  }
}

TEST(NgramDetector, InvalidUtf8IsReadSafely) {
  // Stray continuation bytes, a truncated sequence and an overlong encoding.
  const std::string text = "a\x80\xBF b \xE2\x82 a \xC0\xAF a";
  EXPECT_EQ(symmetric().classify(text), kEnglish);
}

// The scoring rules read plainly: code point by code point, every n-gram looked up by itself,
// in doubles. The detector's fast paths (plain ASCII prose, queued words) must agree with it.
class ReferenceScorer {
 public:
  ReferenceScorer() {
    for (int side = 0; side < 2; ++side) {
      const auto entries = parse_profile(embedded_profile(side == 0 ? kEnglish : kSpanish));
      double total = 0;
      std::uint64_t smallest = entries.front().count;
      for (const auto& e : entries) {
        total += static_cast<double>(e.count);
        smallest = std::min(smallest, e.count);
      }
      for (const auto& e : entries) {
        scores_[side][e.ngram] = std::log(static_cast<double>(e.count) / total);
      }
      absent_[side] = std::log(0.5 * static_cast<double>(smallest) / total);
    }
  }

  // English minus Spanish over the prose tokens, or over every token when none has a letter.
  double margin(std::string_view text) const {
    double sums[2] = {0, 0};  // prose, code
    std::uint64_t prose_letters = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t start = pos;
      if (unicode::is_white_space(unicode::next_code_point(text, pos))) continue;
      std::size_t end = pos;
      for (std::size_t next = pos; next < text.size(); end = next) {
        if (unicode::is_white_space(unicode::next_code_point(text, next))) break;
      }
      const std::string_view token = text.substr(start, end - start);
      bool code = token.front() == '-' || token.front() == '%' || token.front() == '\'' ||
                  token.back() == '\'' ||
                  token.find_first_of("/=<>{}[]|\\_@$%#`") != std::string_view::npos;
      for (std::size_t i = start + 1; i < end; ++i) {
        code = code || (text[i] == '.' && i + 1 < text.size() && word_byte(text[i - 1]) &&
                        word_byte(text[i + 1]));
      }
      std::u32string word = U"_";
      std::uint64_t letters = 0;
      double score = 0;
      for (std::size_t at = 0; at <= token.size();) {
        const char32_t cp = at < token.size() ? unicode::next_code_point(token, at) : (++at, U' ');
        letters += unicode::is_alphabetic(cp) ? 1 : 0;
        if (unicode::is_alphabetic(cp) || (U_GET_GC_MASK(cp) & U_GC_M_MASK) != 0) {
          word.push_back(cp);
        } else if (word.size() > 1) {
          word.push_back(U'_');
          score += word_score(word);
          word.resize(1);  // the leading pad
        }
      }
      sums[code ? 1 : 0] += score;
      if (!code) prose_letters += letters;
      pos = end;
    }
    return prose_letters > 0 ? sums[0] : sums[0] + sums[1];
  }

 private:
  static bool word_byte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x80 || std::isalnum(b) || b == '_';
  }
  double word_score(const std::u32string& padded) const {
    double score = 0;
    for (std::size_t i = 0; i < padded.size(); ++i) {
      for (std::size_t n = 1; n <= 5 && i + n <= padded.size(); ++n) {
        score += log_probability(0, padded.substr(i, n)) - log_probability(1, padded.substr(i, n));
      }
    }
    return score;
  }
  double log_probability(int side, const std::u32string& ngram) const {
    const auto it = scores_[side].find(ngram);
    return it == scores_[side].end() ? absent_[side] : it->second;
  }

  std::map<std::u32string, double> scores_[2];  // English, Spanish
  double absent_[2] = {0, 0};
};

TEST(NgramDetector, AgreesWithAPlainReadingOfTheRules) {
  // Words, accents, non-Latin letters, digits, code-like pieces, quotes, dots and white space of
  // every kind, joined into texts long enough to cross the scan's windows and fill its queues.
  using namespace std::string_literals;
  // clang-format off
  const std::vector<std::string> pieces = {
      "the", "que", "Hello", "a", "I", "niño", "café", "e\u0301", "\u00C9l", "\u0436\u0436",
      "\u4E2D", "2024", "v1.2", "e.g.", "end.", "don't", "dogs'", "'quoted'", "-flag", "%d",
      "a_b", "x/y", "<tag>", "$HOME", "#1", "`code`", "(see", "this),", "well-known",
      "internationalization", "abcdefghijklmno", "abcdefghijklmnop",
      "supercalifragilisticexpialidocious", "\xFF", ".", "..."};
  // clang-format on
  const std::vector<std::string> blanks = {" ", " ", " ", "  ", "\t", "\n", "\u00A0", "\u3000", ""};
  const ReferenceScorer reference;
  const NgramDetector& detector = shared_detector();
  std::uint32_t seed = 7;
  const auto next = [&seed](std::size_t bound) {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<std::size_t>(seed >> 8) % bound;
  };
  std::vector<std::string> texts = {"", " ", "the end", "a\0b c"s, std::string(300, 'a')};
  for (int n = 0; n < 520; ++n) {
    std::string text;
    const std::size_t words = n < 500 ? next(12) : 2000 + next(2000);
    for (std::size_t i = 0; i < words; ++i) {
      text += pieces[next(pieces.size())];
      text += blanks[next(blanks.size())];
    }
    texts.push_back(std::move(text));
  }
  std::string joined;
  std::vector<std::string_view> views;
  for (const std::string& text : texts) {
    const double expected = reference.margin(text);
    EXPECT_NEAR(detector.english_margin(text), expected, 1e-5 * (1.0 + text.size())) << text;
    views.push_back(text);
    joined += text;
    joined += ' ';
  }
  // All at once: the pieces read as joined by spaces.
  const double whole = reference.margin(joined);
  EXPECT_EQ(detector.classify(views), whole > 1e-6    ? Lang(kEnglish)
                                      : whole < -1e-6 ? Lang(kSpanish)
                                                      : std::nullopt);
}

}  // namespace
}  // namespace mdspeak::language_detail
