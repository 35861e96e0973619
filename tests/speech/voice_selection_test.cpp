#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/speech_engine.h"
#include "support/fake_engine.h"

namespace mdspeak {
namespace {

constexpr auto kEnglish = SupportedLanguage::English;
constexpr auto kSpanish = SupportedLanguage::Spanish;
constexpr const char* kNoVoices = "no supported English or Spanish system voices were found";

Voice voice(std::string id, std::string name, std::string language,
            std::optional<Gender> gender = std::nullopt) {
  return Voice{std::move(id), std::move(name), gender, std::move(language)};
}

// An engine whose fake synthesizer offers `voices`.
struct Rig : FakeEngine {
  explicit Rig(std::vector<Voice> voices) {
    fake->set_voices(std::move(voices));
    (void)start();
  }
};

std::vector<std::string> ids(const std::vector<Voice>& voices) {
  std::vector<std::string> out;
  for (const Voice& v : voices) out.push_back(v.id);
  return out;
}

struct PriorityCase {
  const char* id;
  const char* language;
  std::optional<Gender> gender;
  std::optional<SupportedLanguage> wanted;
  std::int32_t score;
};

class VoicePriority : public ::testing::TestWithParam<PriorityCase> {};

TEST_P(VoicePriority, AddsEveryRowThatHolds) {
  const PriorityCase& c = GetParam();
  EXPECT_EQ(voice_priority(voice(c.id, "n", c.language, c.gender), c.wanted), c.score);
}

INSTANTIATE_TEST_SUITE_P(
    Scores, VoicePriority,
    ::testing::Values(
        PriorityCase{"com.apple.ttsbundle.siri_female_en-US_compact", "en-US", Gender::Female,
                     std::nullopt, 400},
        PriorityCase{"com.apple.ttsbundle.siri_female_en-US_compact", "en-US", Gender::Female,
                     kEnglish, 1400},
        PriorityCase{"com.apple.voice.compact.en-US.Samantha", "en-US", Gender::Female,
                     std::nullopt, 350},
        PriorityCase{"com.apple.voice.compact.en-US.Samantha", "en-US", Gender::Female, kEnglish,
                     1350},
        PriorityCase{"com.apple.eloquence.en-US.Rocko", "en-US", Gender::Male, std::nullopt, 0},
        PriorityCase{"com.apple.speech.synthesis.voice.Fred", "en-US", Gender::Male, std::nullopt,
                     -100},
        PriorityCase{"com.apple.speech.synthesis.voice.Fred", "en-US", std::nullopt, std::nullopt,
                     -200},
        // ASCII case is ignored in the id.
        PriorityCase{"com.apple.TTSBundle.Siri_male", "en-GB", std::nullopt, std::nullopt, 300},
        PriorityCase{"COM.APPLE.VOICE.COMPACT.ES-MX.PAULINA", "es-MX", std::nullopt, kSpanish,
                     1250},
        // The language bonus needs the voice's own language to match.
        PriorityCase{"com.apple.voice.compact.en-US.Samantha", "en-US", Gender::Female, kSpanish,
                     350},
        PriorityCase{"Monica", "es-419", std::nullopt, kSpanish, 1000},
        PriorityCase{"Thomas", "fr-FR", Gender::Male, kEnglish, 100},
        // Rows are independent: both penalties and both bonuses.
        PriorityCase{"x.eloquence.speech.synthesis.voice.", "en", std::nullopt, std::nullopt, -300},
        PriorityCase{"ttsbundle.siri.voice.compact.", "en", Gender::Male, kEnglish, 1650}));

struct MatchCase {
  const char* language;
  SupportedLanguage wanted;
  bool matches;
};

class LanguageMatchesVoice : public ::testing::TestWithParam<MatchCase> {};

TEST_P(LanguageMatchesVoice, ByTheVoicesLocale) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(language_matches_voice(c.wanted, voice("v", "v", c.language)), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, LanguageMatchesVoice,
    ::testing::Values(MatchCase{"en-US", kEnglish, true}, MatchCase{"en-US", kSpanish, false},
                      MatchCase{"es-419", kSpanish, true}, MatchCase{"es", kSpanish, true},
                      MatchCase{"fr-FR", kEnglish, false}, MatchCase{"fr-FR", kSpanish, false},
                      MatchCase{"", kEnglish, false}));

TEST(SupportedVoices, KeepsEnglishAndSpanishRankedByScoreLanguageAndName) {
  Rig rig({
      voice("fr", "Thomas", "fr-FR", Gender::Male),
      voice("alex", "alex", "en-US"),
      voice("zh", "Tingting", "zh-CN", Gender::Female),
      voice("zoe", "Zoe", "en-US"),
      voice("monica", "Monica", "es-419"),
      voice("com.apple.ttsbundle.siri_en-GB", "Martha", "en-GB", Gender::Female),
      voice("karen", "Karen", "en-AU", Gender::Female),
      voice("com.apple.voice.compact.es-ES.Jorge", "Jorge", "es-ES", Gender::Male),
      voice("daniel", "Daniel", "en-GB", Gender::Male),
      voice("com.apple.eloquence.en-US.Eddy", "Eddy", "en-US"),
  });
  ASSERT_TRUE(rig.engine);
  auto catalogue = rig.engine->supported_voices();
  ASSERT_TRUE(catalogue);
  EXPECT_EQ(ids(*catalogue), (std::vector<std::string>{
                                 "com.apple.ttsbundle.siri_en-GB",       // 400
                                 "com.apple.voice.compact.es-ES.Jorge",  // 350
                                 "karen",                                // 100, en-AU
                                 "daniel",                               // 100, en-GB
                                 "zoe",                                  // 0, en-US, "Zoe" < "alex"
                                 "alex",                                 //
                                 "monica",                               // 0, es-419
                                 "com.apple.eloquence.en-US.Eddy",       // -100
                             }));
}

// speech-dispatcher's voices earn no score row; the person's locale breaks the ties.
TEST(SupportedVoices, TiesGoToThePersonsLocaleThenTheLanguagesCommonRegion) {
  const std::vector<Voice> espeak = {
      voice("English (Caribbean)", "English (Caribbean)", "en-029"),
      voice("English (Great Britain)", "English (Great Britain)", "en-GB"),
      voice("English (America)", "English (America)", "en-US"),
      voice("Spanish (Latin America)", "Spanish (Latin America)", "es-419"),
      voice("Spanish (Spain)", "Spanish (Spain)", "es-ES"),
      voice("Scots", "Scots", "en-GB-scotland"),
  };
  struct Case {
    std::string locale;
    std::vector<std::string> languages;
  };
  const std::vector<Case> cases = {
      {"", {"en-US", "es-ES", "en-029", "en-GB", "en-GB-scotland", "es-419"}},
      {"C.UTF-8", {"en-US", "es-ES", "en-029", "en-GB", "en-GB-scotland", "es-419"}},
      {"en_GB.UTF-8", {"en-GB", "en-GB-scotland", "en-US", "en-029", "es-ES", "es-419"}},
      {"en_US", {"en-US", "en-029", "en-GB", "en-GB-scotland", "es-ES", "es-419"}},
      {"es_MX.UTF-8@x", {"es-ES", "es-419", "en-US", "en-029", "en-GB", "en-GB-scotland"}},
      {"fr_FR.UTF-8", {"en-US", "es-ES", "en-029", "en-GB", "en-GB-scotland", "es-419"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    auto fake = std::make_shared<FakeTts>();
    fake->set_voices(espeak);
    auto [sender, receiver] = make_channel<SpeechEvent>();
    auto engine = SpeechEngine::create(fake->facade(), std::move(sender), c.locale);
    ASSERT_TRUE(engine);
    auto catalogue = engine->supported_voices();
    ASSERT_TRUE(catalogue);
    std::vector<std::string> languages;
    for (const Voice& v : *catalogue) languages.push_back(v.language);
    EXPECT_EQ(languages, c.languages);
    // The automatic choice for an English document follows the same order.
    ASSERT_TRUE(engine->configure(std::nullopt, kEnglish, 1.0f));
    EXPECT_EQ(fake->voice()->language, c.languages[0].starts_with("en") ? c.languages[0] : "en-US");
  }
}

TEST(SupportedVoices, VoicesEqualInEveryKeyKeepTheFacadeOrder) {
  Rig rig({voice("second", "Same", "en-US"), voice("first", "Same", "en-US"),
           voice("third", "Same", "en-US")});
  ASSERT_TRUE(rig.engine);
  EXPECT_EQ(ids(*rig.engine->supported_voices()),
            (std::vector<std::string>{"second", "first", "third"}));
}

TEST(Voices, ListsTheCatalogueAsVoiceInfo) {
  Rig rig({voice("fr", "Amelie", "fr-CA", Gender::Female), voice("d", "Diego", "es-AR"),
           voice("s", "Samantha", "en-US", Gender::Female),
           voice("a", "Aaron", "en-US", Gender::Male)});
  ASSERT_TRUE(rig.engine);
  auto listed = rig.engine->voices();
  ASSERT_TRUE(listed);
  std::vector<VoiceInfo> expected{{"a", "Aaron", "en-US", "Male"},
                                  {"s", "Samantha", "en-US", "Female"},
                                  {"d", "Diego", "es-AR", std::nullopt}};
  EXPECT_EQ(*listed, expected);
}

TEST(Voices, NoSupportedVoiceIsAnEmptyList) {
  Rig rig({voice("fr", "Thomas", "fr-FR"), voice("zh", "Tingting", "zh-CN")});
  ASSERT_TRUE(rig.engine);
  auto listed = rig.engine->voices();
  ASSERT_TRUE(listed);
  EXPECT_TRUE(listed->empty());
}

TEST(Voices, AFacadeThatCannotListFailsWithItsCause) {
  Rig rig({voice("a", "Aaron", "en-US")});
  ASSERT_TRUE(rig.engine);
  rig.fake->fail_always(FakeOp::Voices, "IO error: gone");
  for (auto error : {rig.engine->voices().error(), rig.engine->supported_voices().error()}) {
    EXPECT_EQ(error.message, "failed to enumerate system voices");
    ASSERT_NE(error.cause, nullptr);
    EXPECT_EQ(error.cause->message, "IO error: gone");
  }
}

struct RateCase {
  float min, normal, max;
  float requested;
  float expected;
};

class ConfigureRate : public ::testing::TestWithParam<RateCase> {};

TEST_P(ConfigureRate, MapsEachHalfOfTheRequestRangeOntoItsHalfOfTheEngineRange) {
  const RateCase& c = GetParam();
  Rig rig({voice("a", "Aaron", "en-US")});
  ASSERT_TRUE(rig.engine);
  rig.fake->set_rate_scale(c.min, c.normal, c.max);
  ASSERT_TRUE(rig.engine->configure(std::nullopt, std::nullopt, c.requested));
  ASSERT_TRUE(rig.fake->rate().has_value());
  EXPECT_FLOAT_EQ(*rig.fake->rate(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Scales, ConfigureRate,
                         ::testing::Values(RateCase{0.1f, 0.5f, 2.0f, 0.2f, 0.1f},
                                           RateCase{0.1f, 0.5f, 2.0f, 0.5f, 0.1f},
                                           RateCase{0.1f, 0.5f, 2.0f, 0.75f, 0.3f},
                                           RateCase{0.1f, 0.5f, 2.0f, 1.0f, 0.5f},
                                           RateCase{0.1f, 0.5f, 2.0f, 1.5f, 1.25f},
                                           RateCase{0.1f, 0.5f, 2.0f, 2.0f, 2.0f},
                                           RateCase{0.1f, 0.5f, 2.0f, 3.0f, 2.0f},
                                           RateCase{0.1f, 0.5f, 2.0f, -1.0f, 0.1f},
                                           // speech-dispatcher's scale
                                           RateCase{-100.0f, 0.0f, 100.0f, 0.75f, -50.0f},
                                           RateCase{-100.0f, 0.0f, 100.0f, 1.0f, 0.0f},
                                           RateCase{-100.0f, 0.0f, 100.0f, 1.25f, 25.0f},
                                           RateCase{-100.0f, 0.0f, 100.0f, 1e30f, 100.0f}));

// Catalogue order: siri-en (400), compact-es (350), daniel-en (100), paulina-es (100), alex-en (0).
std::vector<Voice> mixed_voices() {
  return {voice("alex", "Alex", "en-US"),
          voice("com.apple.voice.compact.es-ES.Jorge", "Jorge", "es-ES", Gender::Male),
          voice("paulina", "Paulina", "es-MX", Gender::Female),
          voice("daniel", "Daniel", "en-GB", Gender::Male),
          voice("com.apple.ttsbundle.siri_en-US", "Nicky", "en-US", Gender::Female)};
}

struct ChoiceCase {
  const char* name;
  std::vector<Voice> voices;
  std::optional<std::string> requested;
  std::optional<SupportedLanguage> language;
  const char* chosen;
};

class ConfigureVoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ConfigureVoice, SetsTheChosenVoice) {
  const ChoiceCase& c = GetParam();
  Rig rig(c.voices);
  ASSERT_TRUE(rig.engine);
  auto configured = rig.engine->configure(c.requested, c.language, 1.0f);
  ASSERT_TRUE(configured) << configured.error().describe();
  ASSERT_EQ(rig.fake->voices_set().size(), 1u);
  EXPECT_EQ(rig.fake->voice()->id, c.chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, ConfigureVoice,
    ::testing::Values(ChoiceCase{"BestOverallWithoutLanguage", mixed_voices(), std::nullopt,
                                 std::nullopt, "com.apple.ttsbundle.siri_en-US"},
                      ChoiceCase{"BestSpanish", mixed_voices(), std::nullopt, kSpanish,
                                 "com.apple.voice.compact.es-ES.Jorge"},
                      ChoiceCase{"RequestedLowerRankedVoiceOfTheLanguage", mixed_voices(), "alex",
                                 kEnglish, "alex"},
                      ChoiceCase{"RequestedEnglishVoiceForSpanishIsIgnored", mixed_voices(), "alex",
                                 kSpanish, "com.apple.voice.compact.es-ES.Jorge"},
                      ChoiceCase{"RequestedVoiceWithUndecidedLanguageIsHonoured", mixed_voices(),
                                 "paulina", std::nullopt, "paulina"},
                      ChoiceCase{"IdsCompareCaseSensitively", mixed_voices(), "Alex", kEnglish,
                                 "com.apple.ttsbundle.siri_en-US"},
                      ChoiceCase{"UnknownIdFallsBackToAutomaticChoice", mixed_voices(), "nobody",
                                 kSpanish, "com.apple.voice.compact.es-ES.Jorge"},
                      ChoiceCase{
                          "UnsupportedVoiceCannotBeRequested",
                          {voice("thomas", "Thomas", "fr-FR"), voice("alex", "Alex", "en-US")},
                          "thomas",
                          std::nullopt,
                          "alex"},
                      // The first catalogue voice becomes the fallback.
                      ChoiceCase{"EnglishOnlyVoicesForSpanish",
                                 {voice("alex", "Alex", "en-US"),
                                  voice("daniel", "Daniel", "en-GB", Gender::Male)},
                                 std::nullopt,
                                 kSpanish,
                                 "daniel"},
                      ChoiceCase{"EnglishOnlyVoicesForSpanishWithEnglishRequest",
                                 {voice("alex", "Alex", "en-US"),
                                  voice("daniel", "Daniel", "en-GB", Gender::Male)},
                                 "alex",
                                 kSpanish,
                                 "daniel"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigureVoice, SettingsApplyToUtterancesQueuedAfterwards) {
  Rig rig(mixed_voices());
  ASSERT_TRUE(rig.engine);
  ASSERT_TRUE(rig.engine->configure(std::nullopt, kSpanish, 1.5f));
  ASSERT_TRUE(rig.engine->speak("hola", true));
  auto queued = rig.fake->queued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_FLOAT_EQ(queued[0].rate, 1.25f);
  ASSERT_TRUE(queued[0].voice.has_value());
  EXPECT_EQ(queued[0].voice->id, "com.apple.voice.compact.es-ES.Jorge");
}

struct TagCase {
  std::optional<SupportedLanguage> language;
  const char* person_locale;
  const char* tag;
};

class LanguageTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(LanguageTag, IsTheRegionTheRankingPutsFirst) {
  EXPECT_EQ(language_tag(GetParam().language, GetParam().person_locale), GetParam().tag);
}

INSTANTIATE_TEST_SUITE_P(Locales, LanguageTag,
                         ::testing::Values(TagCase{kEnglish, "en_GB.UTF-8", "en-GB"},
                                           TagCase{kEnglish, "", "en-US"},
                                           TagCase{kEnglish, "C.UTF-8", "en-US"},
                                           TagCase{kEnglish, "es_MX.UTF-8", "en-US"},
                                           TagCase{kSpanish, "es_MX.UTF-8", "es-MX"},
                                           TagCase{kSpanish, "en_GB.UTF-8", "es-ES"},
                                           TagCase{std::nullopt, "es_AR.UTF-8@euro", "es-AR"},
                                           TagCase{std::nullopt, "fr_FR.UTF-8", "en-US"},
                                           TagCase{std::nullopt, "en", "en-US"}));

// A synthesizer that has not listed its voices yet picks one by language, so that the first
// words do not wait for the list; once listed, the ranking chooses as always.
TEST(ConfigureBeforeTheList, TheSynthesizerPicksByLanguageUnlessAVoiceIsAsked) {
  struct Case {
    std::optional<std::string> requested;
    std::optional<std::string> language_set;
    std::optional<std::string> voice_set;
    int listings;
  };
  for (const Case& c : {Case{std::nullopt, "es-ES", std::nullopt, 0},
                        Case{"paulina", std::nullopt, "paulina", 1}}) {
    Rig rig(mixed_voices());
    ASSERT_TRUE(rig.engine);
    rig.fake->list_voices_late(true);
    auto configured = rig.engine->configure(c.requested, kSpanish, 1.5f);
    ASSERT_TRUE(configured) << configured.error().describe();
    EXPECT_EQ(rig.fake->language(), c.language_set);
    EXPECT_EQ(rig.fake->voice() ? std::optional(rig.fake->voice()->id) : std::nullopt, c.voice_set);
    EXPECT_EQ(rig.fake->calls(FakeOp::Voices), c.listings);
    EXPECT_FLOAT_EQ(*rig.fake->rate(), 1.25f);
  }

  Rig rig(mixed_voices());
  ASSERT_TRUE(rig.engine);
  rig.fake->list_voices_late(true);
  ASSERT_TRUE(rig.engine->voices());  // listed now
  ASSERT_TRUE(rig.engine->configure(std::nullopt, kSpanish, 1.0f));
  EXPECT_EQ(rig.fake->language(), std::nullopt);
  EXPECT_EQ(rig.fake->voice()->id, "com.apple.voice.compact.es-ES.Jorge");
  EXPECT_EQ(rig.fake->calls(FakeOp::Voices), 1);  // configure did not list again
}

struct ConfigureFailure {
  const char* name;
  std::vector<Voice> voices;
  std::optional<std::string> requested;
  std::optional<SupportedLanguage> language;
  void (*script)(FakeTts&);
  const char* message;
  const char* cause;  // nullptr: an error of its own
  bool rate_set;
};

class ConfigureFails : public ::testing::TestWithParam<ConfigureFailure> {};

TEST_P(ConfigureFails, WithItsMessageAndCause) {
  const ConfigureFailure& c = GetParam();
  Rig rig(c.voices);
  ASSERT_TRUE(rig.engine);
  c.script(*rig.fake);
  auto configured = rig.engine->configure(c.requested, c.language, 1.0f);
  ASSERT_FALSE(configured);
  EXPECT_EQ(configured.error().message, c.message);
  if (c.cause == nullptr) {
    EXPECT_EQ(configured.error().cause, nullptr);
  } else {
    ASSERT_NE(configured.error().cause, nullptr);
    EXPECT_EQ(configured.error().cause->message, c.cause);
  }
  EXPECT_EQ(rig.fake->rate().has_value(), c.rate_set);
  EXPECT_TRUE(rig.fake->voices_set().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ConfigureFails,
    ::testing::Values(
        ConfigureFailure{"NoVoices",
                         {voice("thomas", "Thomas", "fr-FR"), voice("zh", "Tingting", "zh-CN")},
                         std::nullopt,
                         kEnglish,
                         [](FakeTts&) {},
                         kNoVoices,
                         nullptr,
                         true},
        ConfigureFailure{"NoVoicesWithRequestedId",
                         {},
                         "alex",
                         std::nullopt,
                         [](FakeTts&) {},
                         kNoVoices,
                         nullptr,
                         true},
        ConfigureFailure{"RateRejected", mixed_voices(), std::nullopt, kEnglish,
                         [](FakeTts& fake) { fake.fail_always(FakeOp::SetRate, "Out of range"); },
                         "failed to set speech rate", "Out of range", false},
        ConfigureFailure{"CannotList", mixed_voices(), std::nullopt, kEnglish,
                         [](FakeTts& fake) { fake.fail_always(FakeOp::Voices); },
                         "failed to enumerate system voices", "Operation failed", true},
        ConfigureFailure{
            "ChosenVoiceRejected", mixed_voices(), "alex", kEnglish,
            [](FakeTts& fake) { fake.fail_always(FakeOp::SetVoice, "Unsupported feature"); },
            "failed to set voice", "Unsupported feature", true},
        ConfigureFailure{"FallbackVoiceRejected",
                         {voice("alex", "Alex", "en-US")},
                         std::nullopt,
                         kSpanish,
                         [](FakeTts& fake) { fake.fail_always(FakeOp::SetVoice); },
                         "failed to set fallback voice",
                         "Operation failed",
                         true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigureFails, RateRejectedLeavesTheCatalogueUnread) {
  Rig rig(mixed_voices());
  ASSERT_TRUE(rig.engine);
  rig.fake->fail_always(FakeOp::SetRate);
  ASSERT_FALSE(rig.engine->configure(std::nullopt, kEnglish, 1.0f));
  EXPECT_EQ(rig.fake->calls(FakeOp::Voices), 0);
}

}  // namespace
}  // namespace mdspeak
