// The pronunciation list: which words are replaced, what the synthesizer then receives, and
// where each word's mark lands in it.
#include "speech/pronunciations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "speech/words.h"

namespace mdspeak {
namespace {

PronunciationList list_of(std::vector<PronunciationEntry> entries) {
  auto list = PronunciationList::make(entries);
  EXPECT_TRUE(list) << list.error().message;
  return list ? std::move(*list) : PronunciationList{};
}

std::string said(const PronunciationList& list, std::string_view text,
                 std::optional<SupportedLanguage> language = SupportedLanguage::English) {
  const std::vector<WordMark> marks = split_words(text);
  const auto spoken = list.apply(text, marks, language);
  return spoken ? spoken->text : std::string(text);
}

TEST(PronunciationsTest, ReplacesWholeWordsByCaseAndLength) {
  const PronunciationList list = list_of({
      {"nginx", "engine x", "en"},
      {"SQL", "sequel", std::nullopt},
      {"Visual Studio", "V S", std::nullopt},
      {"Visual Studio Code", "V S Code", std::nullopt},
      {"guía", "gui-a", "es"},
      {"Guía", "Gui-A", "es"},
      {".NET", "dot net", std::nullopt},
      {"C++", "C plus plus", std::nullopt},
      {"kubectl", "cube control", std::nullopt},
  });
  struct Case {
    std::string text;
    std::string want;
    std::optional<SupportedLanguage> language = SupportedLanguage::English;
  };
  const std::vector<Case> cases = {
      {"Run nginx now.", "Run engine x now."},
      {"NGINX and Nginx too", "engine x and engine x too"},  // no capital: any case
      {"(nginx), nginx-proxy", "(engine x), engine x-proxy"},
      {"nginxs and unginx", "nginxs and unginx"},                  // not inside a longer word
      {"SQL sql Sql", "sequel sql Sql"},                           // a capital: that case only
      {"Visual Studio Code is Visual Studio", "V S Code is V S"},  // longest first
      {"Visual  Studio", "Visual  Studio"},  // the spacing is part of the entry
      {"use .NET or C++.", "use dot net or C plus plus."},
      {"kubectl kubectl", "cube control cube control"},
      {"Una guía, la GUÍA y la Guía.", "Una guía, la GUÍA y la Guía.", SupportedLanguage::English},
      {"Una guía, la GUÍA y la Guía.", "Una gui-a, la gui-a y la Gui-A.",
       SupportedLanguage::Spanish},
      {"nginx en español", "nginx en español", SupportedLanguage::Spanish},  // an English entry
      {"nginx sin idioma", "engine x sin idioma", std::nullopt},             // unknown: every entry
      {"", ""},
      {"\xFF\xFEnginx\xC3",
       "\xFF\xFE"
       "engine x\xC3"},  // bytes that are no UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(said(list, c.text, c.language), c.want) << c.text;
}

// Each word's mark covers what replaced it, so the synthesizer reports the source word when the
// replacement is heard; words inside a replaced phrase mark its end.
TEST(PronunciationsTest, MarksFollowTheReplacements) {
  const PronunciationList list =
      list_of({{"nginx", "engine x", std::nullopt}, {"Visual Studio", "V S", std::nullopt}});
  const std::string text = "Start nginx, then Visual Studio ok";
  const std::vector<WordMark> marks = split_words(text);
  const auto spoken = list.apply(text, marks, SupportedLanguage::English);
  ASSERT_TRUE(spoken);
  EXPECT_EQ(spoken->text, "Start engine x, then V S ok");
  std::vector<std::string> heard;
  for (const WordMark& m : spoken->marks) {
    heard.push_back(spoken->text.substr(m.begin, m.end - m.begin));
  }
  EXPECT_EQ(heard, (std::vector<std::string>{"Start", "engine x,", "then", "V S", "", "ok"}));
  // Marks stay in order and never overlap, as the SSML builder requires.
  for (std::size_t i = 1; i < spoken->marks.size(); ++i) {
    EXPECT_LE(spoken->marks[i - 1].end, spoken->marks[i].begin);
  }
  EXPECT_FALSE(list.apply("nothing here", split_words("nothing here"), std::nullopt));
}

TEST(PronunciationsTest, InvalidListsAreRefusedWithTheEntry) {
  struct Case {
    std::vector<PronunciationEntry> entries;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{{"ok", "fine", std::nullopt}, {"", "x", std::nullopt}}, "entry 2: text is empty"},
      {{{std::string(201, 'a'), "x", std::nullopt}}, "entry 1: text is longer than 200 bytes"},
      {{{"a", "b", "fr"}}, "entry 1: language must be \"en\", \"es\" or null"},
      {{{"--", "dash", std::nullopt}}, "entry 1: text has no letter or digit"},
      {std::vector<PronunciationEntry>(10'001, {"a", "b", std::nullopt}),
       "more than 10000 entries"},
  };
  for (const Case& c : cases) {
    auto list = PronunciationList::make(c.entries);
    ASSERT_FALSE(list);
    EXPECT_EQ(list.error().message, c.error);
  }
  EXPECT_TRUE(PronunciationList::make(
      std::vector<PronunciationEntry>(10'000, {std::string(200, 'a'), "b", "es"})));
}

// Ten thousand entries: every word of the text is looked up once, and the replacements are the
// ones a list of one would make.
TEST(PronunciationsTest, ALargeListMatchesLikeASmallOne) {
  std::vector<PronunciationEntry> entries;
  for (int i = 0; i < 10'000; ++i) {
    entries.push_back({"word" + std::to_string(i), "w " + std::to_string(i), std::nullopt});
  }
  const PronunciationList large = list_of(entries);
  const PronunciationList small = list_of({{"word9999", "w 9999", std::nullopt}});
  EXPECT_EQ(said(large, "a word9999 b word10000"), said(small, "a word9999 b word10000"));
  EXPECT_EQ(said(large, "word1 word20"), "w 1 w 20");
}

}  // namespace
}  // namespace mdspeak
