#include "speech/voice_ranking.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "speech/speech_engine.h"
#include "speech/word_estimate.h"
#include "speech/words.h"
#include "support/channel_wait.h"
#include "support/fake_engine.h"

namespace mdspeak {
namespace {

using namespace std::chrono_literals;

constexpr auto kEnglish = SupportedLanguage::English;
constexpr auto kSpanish = SupportedLanguage::Spanish;

Voice engine_voice(std::string engine, std::string name, std::string language) {
  std::string id = engine.empty() ? name : engine + ":" + name;
  return Voice{std::move(id), std::move(name), std::nullopt, std::move(language),
               std::move(engine)};
}

// What a machine with every engine Debian has lists (speech-dispatcher's names).
std::vector<Voice> every_engine() {
  return {engine_voice("espeak-ng", "English (America)", "en-US"),
          engine_voice("flite", "kal16", "en-US"),
          engine_voice("festival", "kal_diphone", "en-US"),
          engine_voice("pico", "samantha", "en-US"),
          engine_voice("festival", "cmu_us_slt_arctic_hts", "en-US"),
          engine_voice("espeak-ng-mbrola", "us-mbrola-1", "en-US"),
          engine_voice("espeak-ng-mbrola", "us-mbrola-2", "en-US"),
          engine_voice("rhvoice", "Alan", "en"),
          engine_voice("espeak-ng", "Spanish (Spain)", "es"),
          engine_voice("pico", "isabel", "es-ES"),
          engine_voice("festival", "el_diphone", "es"),
          engine_voice("espeak-ng-mbrola", "spanish-mbrola-2", "es-ES")};
}

struct Rig : FakeEngine {
  explicit Rig(std::vector<Voice> voices) {
    fake->set_voices(std::move(voices));
    (void)start();
  }
};

TEST(VoiceRanking, EnginesInTheMeasuredOrderWithinEachLanguage) {
  Rig rig(every_engine());
  ASSERT_TRUE(rig.engine);
  auto ranked = rig.engine->supported_voices();
  ASSERT_TRUE(ranked);
  std::vector<std::string> ids;
  for (const Voice& v : *ranked) ids.push_back(v.id);
  // No person's locale: both languages rank alike, so the engine decides across them, then the
  // language's common region (en-US, es-ES) before other tags, then the tag.
  EXPECT_EQ(ids, (std::vector<std::string>{
                     "rhvoice:Alan", "espeak-ng-mbrola:us-mbrola-1", "espeak-ng-mbrola:us-mbrola-2",
                     "espeak-ng-mbrola:spanish-mbrola-2", "festival:cmu_us_slt_arctic_hts",
                     "pico:samantha", "pico:isabel", "espeak-ng:English (America)",
                     "espeak-ng:Spanish (Spain)", "festival:kal_diphone", "festival:el_diphone",
                     "flite:kal16"}));
}

struct TimingCase {
  const char* engine;
  const char* name;
  WordTiming timing;
};

TEST(VoiceRanking, WordTimingAsMeasured) {
  const std::vector<TimingCase> cases = {
      {"espeak-ng", "English (America)", WordTiming::Exact},
      {"", "English (America)", WordTiming::Exact},  // a daemon that names no engine
      {"rhvoice", "Alan", WordTiming::Exact},
      {"festival", "el_diphone", WordTiming::Approximate},
      {"festival", "cmu_us_slt_arctic_hts", WordTiming::Approximate},
      {"espeak-ng-mbrola", "us-mbrola-1", WordTiming::Approximate},
      {"espeak-ng-mbrola", "spanish-mbrola-2", WordTiming::Exact},
      {"pico", "samantha", WordTiming::None},
      {"flite", "kal16", WordTiming::None},
  };
  for (const TimingCase& c : cases) {
    EXPECT_EQ(word_timing(engine_voice(c.engine, c.name, "en")), c.timing)
        << c.engine << ":" << c.name;
  }
}

struct ChoiceCase {
  const char* name;
  std::vector<Voice> voices;
  SupportedLanguage language;
  bool word_progress;
  const char* chosen;
};

class ChoiceByQuality : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChoiceByQuality, PicksTheBestEngineAndForWordProgressTheBestTiming) {
  const ChoiceCase& c = GetParam();
  Rig rig(c.voices);
  ASSERT_TRUE(rig.engine);
  ASSERT_TRUE(rig.engine->configure(std::nullopt, c.language, 1.0f, c.word_progress));
  ASSERT_TRUE(rig.fake->voice());
  EXPECT_EQ(rig.fake->voice()->id, c.chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, ChoiceByQuality,
    ::testing::Values(
        ChoiceCase{"RhvoiceForEnglish", every_engine(), kEnglish, false, "rhvoice:Alan"},
        ChoiceCase{"RhvoiceForEnglishWords", every_engine(), kEnglish, true, "rhvoice:Alan"},
        ChoiceCase{"MbrolaForSpanish", every_engine(), kSpanish, true,
                   "espeak-ng-mbrola:spanish-mbrola-2"},
        // pico sounds better than espeak-ng but marks no words: only clients that do not
        // follow the words get it.
        ChoiceCase{"PicoWithoutWords",
                   {engine_voice("espeak-ng", "Spanish (Spain)", "es"),
                    engine_voice("pico", "isabel", "es-ES")},
                   kSpanish,
                   false,
                   "pico:isabel"},
        ChoiceCase{"EspeakForWords",
                   {engine_voice("pico", "isabel", "es-ES"),
                    engine_voice("espeak-ng", "Spanish (Spain)", "es")},
                   kSpanish,
                   true,
                   "espeak-ng:Spanish (Spain)"},
        // Approximate marks before none; none when nothing better exists.
        ChoiceCase{
            "ApproximateBeforeNone",
            {engine_voice("pico", "isabel", "es-ES"), engine_voice("festival", "el_diphone", "es")},
            kSpanish,
            true,
            "festival:el_diphone"},
        ChoiceCase{"NoneWhenNothingElse",
                   {engine_voice("pico", "isabel", "es-ES")},
                   kSpanish,
                   true,
                   "pico:isabel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VoiceRanking, DetailsOnlyWhenAsked) {
  Rig rig(every_engine());
  ASSERT_TRUE(rig.engine);
  auto plain = rig.engine->voices();
  auto detailed = rig.engine->voices(true);
  ASSERT_TRUE(plain && detailed);
  ASSERT_EQ(plain->size(), detailed->size());
  for (std::size_t i = 0; i < plain->size(); ++i) {
    EXPECT_FALSE((*plain)[i].details);
    ASSERT_TRUE((*detailed)[i].details);
    VoiceInfo same = (*detailed)[i];
    same.details.reset();
    EXPECT_EQ(same, (*plain)[i]);
  }
  EXPECT_EQ(detailed->front().details, (VoiceDetails{"rhvoice", "exact"}));
  EXPECT_EQ(detailed->back().details, (VoiceDetails{"flite", "none"}));
}

// Words of a voice without marks arrive estimated, in order, while the utterance is spoken; the
// ones still due when it ends come just before its end.
TEST(EstimatedWords, ArriveInOrderAndNoneAfterTheEnd) {
  Rig rig({engine_voice("pico", "samantha", "en-US")});
  ASSERT_TRUE(rig.engine);
  ASSERT_TRUE(rig.engine->configure(std::nullopt, kEnglish, 2.0f, true));
  const std::string text = "One two three four five six seven eight nine ten eleven twelve.";
  const std::vector<WordMark> words = split_words(text);
  auto id = rig.engine->speak(text, words, true);
  ASSERT_TRUE(id && *id);
  ASSERT_TRUE(rig.fake->begin_next());
  auto begin = next_value(*rig.events, 1s);
  ASSERT_TRUE(begin);
  EXPECT_EQ(begin->kind, SpeechEventKind::UtteranceBegin);
  // At twice the normal speed the first words are due within a second.
  auto first = next_value(*rig.events, 2s);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->kind, SpeechEventKind::Word);
  EXPECT_TRUE(first->estimated);
  EXPECT_EQ(first->word, 0u);
  ASSERT_TRUE(rig.fake->end_current());
  std::size_t expected = 1;
  for (;;) {
    auto event = next_value(*rig.events, 1s);
    ASSERT_TRUE(event);
    if (event->kind == SpeechEventKind::UtteranceEnd) break;
    ASSERT_EQ(event->kind, SpeechEventKind::Word);
    EXPECT_TRUE(event->estimated);
    EXPECT_EQ(event->word, expected++);
  }
  EXPECT_EQ(expected, words.size());
  EXPECT_FALSE(next_value(*rig.events, 100ms));
}

TEST(EstimatedWords, NotForVoicesThatMarkWordsNorAfterAStop) {
  Rig rig({engine_voice("espeak-ng", "English (America)", "en-US"),
           engine_voice("pico", "samantha", "en-US")});
  ASSERT_TRUE(rig.engine);
  const std::string text = "One two three.";
  const std::vector<WordMark> words = split_words(text);

  ASSERT_TRUE(rig.engine->configure(std::nullopt, kEnglish, 1.0f, true));
  ASSERT_TRUE(rig.engine->speak(text, words, true));
  ASSERT_TRUE(rig.fake->begin_next());
  ASSERT_TRUE(rig.fake->end_current());
  std::vector<SpeechEventKind> kinds;
  while (auto event = next_value(*rig.events, 100ms)) kinds.push_back(event->kind);
  EXPECT_EQ(kinds, (std::vector<SpeechEventKind>{SpeechEventKind::UtteranceBegin,
                                                 SpeechEventKind::UtteranceEnd}));

  ASSERT_TRUE(rig.engine->configure(std::string("pico:samantha"), kEnglish, 1.0f, true));
  ASSERT_TRUE(rig.engine->speak(text, words, true));
  ASSERT_TRUE(rig.fake->begin_next());
  auto begin = next_value(*rig.events, 1s);
  ASSERT_TRUE(begin);
  EXPECT_EQ(begin->kind, SpeechEventKind::UtteranceBegin);
  auto first = next_value(*rig.events, 1s);  // due at once
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->estimated);
  // The second word would be due a quarter of a second later.
  ASSERT_TRUE(rig.engine->stop());
  EXPECT_FALSE(next_value(*rig.events, 700ms));
}

TEST(EstimatedWords, DueInProportionToTheirPlaceInTheText) {
  EXPECT_EQ(WordEstimator::due_after(0, 15.0), std::chrono::steady_clock::duration::zero());
  EXPECT_EQ(
      std::chrono::duration_cast<std::chrono::milliseconds>(WordEstimator::due_after(30, 15.0)),
      2000ms);
}

}  // namespace
}  // namespace mdspeak
