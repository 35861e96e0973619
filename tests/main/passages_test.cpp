// Per-passage language in the natural reading: detection per block, what the answers and begin
// events say, and the voice each utterance is spoken with, on the scripted fake synthesizer.
#include "main/passages.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "host_fixture.h"
#include "support/mixed_documents.h"

namespace mdspeak {
namespace {

constexpr std::string_view kEnglish =
    "This guide explains how to install the program and how to check that it works.";
constexpr std::string_view kSpanish =
    "Esta guía explica cómo instalar el programa y cómo comprobar que funciona bien.";

// The language code of every utterance, "-" for none: "en en es".
std::string codes(const std::string& markdown) {
  const ParsedMarkdownDocument parsed = parse_markdown_document(markdown, ReadingMode::Natural);
  std::vector<std::string_view> texts;
  for (const Utterance& u : parsed.utterances) texts.push_back(u.text);
  std::string out;
  for (const auto& language : passage_languages(parsed, detect_supported_language(texts))) {
    if (!out.empty()) out += ' ';
    out += language ? std::string(language_code(*language)) : "-";
  }
  return out;
}

TEST(PassageLanguagesTest, EachBlockOnItsOwnTextShortOnesFromTheirSection) {
  const std::string en(kEnglish);
  const std::string es(kSpanish);
  struct Case {
    std::string markdown;
    std::string want;
  };
  const std::vector<Case> cases = {
      // Headings follow the section they head, whatever their own words.
      {"# Guía\n\n" + en + "\n\n# Setup\n\n" + es + "\n", "en en es es"},
      // A block of the other language inside a section, as a paragraph, an item, a quote; the
      // section being mostly Spanish, its heading is read in Spanish.
      {"# Guide\n\n" + en + "\n\n" + es + "\n\n- " + es + "\n\n> " + es + "\n", "es en es es es"},
      // Too short to judge (a word, a number): the section's language.
      {"# Notas\n\n" + es + "\n\n- OK\n- 42\n\n# Notes\n\n" + en + "\n\n- Sí\n",
       "es es es es en en en"},
      // The sentences of one paragraph share the language of the whole paragraph.
      {"# Guía\n\n" + es + " " + es + " " + es + " Then run it.\n", "es es es es es"},
      // A table is one block, its header row included.
      {"# Guide\n\n" + en +
           "\n\n| Nombre | Descripción |\n|---|---|\n| uno | el primer "
           "elemento de la lista que se muestra |\n",
       "en en es es"},
      // Words that say little either way (a label, a command line) follow their section too.
      {"# Notas\n\n" + es + "\n\n- Setup\n- See also\n- Run `apt install quill`.\n",
       "es es es es es"},
      // Nothing to judge anywhere: none.
      {"# A\n\n- 1\n", "- -"},
  };
  for (const Case& c : cases) EXPECT_EQ(codes(c.markdown), c.want) << c.markdown;
}

// The labelled passages the tests read (the benchmark reads the other half), assembled into
// mixed documents.
TEST(PassageLanguagesTest, AccuracyOnMixedDocuments) {
  const auto passages = testing::load_passages(MDSPEAK_PASSAGES);
  ASSERT_GE(passages.size(), 1000u);
  const testing::Score score =
      testing::score_documents(testing::assemble_mixed_documents(passages, 7));
  ASSERT_GE(score.long_.total, 300u);
  ASSERT_GE(score.mid.total, 300u);
  std::string misses;
  for (const std::string& miss : score.misses) misses += miss + "\n";
  EXPECT_GE(score.long_.accuracy(), 0.97) << misses;
  EXPECT_GE(score.mid.accuracy(), 0.90) << misses;
}

// One English and one Spanish voice of each quality; the fake always has its list at hand.
const Voice kEnglishBest{"en-a", "Ann", Gender::Female, "en-US"};
const Voice kEnglishOther{"en-b", "Ben", Gender::Male, "en-GB"};
const Voice kSpanishBest{"es-a", "Ana", Gender::Female, "es-ES"};

FakeHost mixed_host(bool late_list = false) {
  FakeHost h = FakeHost::create();
  h.fake->set_voices({kEnglishBest, kEnglishOther, kSpanishBest});
  h.fake->list_voices_late(late_list);
  return h;
}

const std::string kMixed =
    "# Guide\n\n" + std::string(kEnglish) + "\n\n# Guía\n\n" + std::string(kSpanish) + "\n";

// Every event the fake can give, with the host feeding the next utterances as ends arrive.
std::vector<Message> speak_out(FakeHost& h) {
  std::vector<Message> all;
  for (;;) {
    const std::size_t finished = h.fake->finish_all();
    auto messages = h.take_messages();
    if (finished == 0 && messages.empty()) return all;
    for (Message& m : messages) all.push_back(std::move(m));
  }
}

// "en:en-a" for each begin: its language and voice.
std::vector<std::string> begins(const std::vector<Message>& messages) {
  std::vector<std::string> out;
  for (const Message& m : messages) {
    if (const auto* b = std::get_if<UtteranceBegin>(&m)) {
      EXPECT_TRUE(b->with_voice);
      out.push_back(b->language_code.value_or("-") + ":" + b->voice_id.value_or("-"));
    }
  }
  return out;
}

std::vector<std::string> voices_heard(const FakeHost& h) {
  std::vector<std::string> out;
  for (const FakeUtterance& u : h.fake->queued()) out.push_back(u.voice ? u.voice->id : "-");
  return out;
}

TEST(PassageVoicesTest, EachUtteranceSpokenByAVoiceOfItsLanguage) {
  struct Case {
    std::optional<std::string> voice_id;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {"en:en-a", "en:en-a", "es:es-a", "es:es-a"}},
      // The user's voice for its language, the best voice for the other.
      {"en-b", {"en:en-b", "en:en-b", "es:es-a", "es:es-a"}},
      {"es-a", {"en:en-a", "en:en-a", "es:es-a", "es:es-a"}},
      {"unknown", {"en:en-a", "en:en-a", "es:es-a", "es:es-a"}},
  };
  for (const Case& c : cases) {
    FakeHost h = mixed_host();
    h.answer(LoadDocument{"1", "d", kMixed, RequestedReading::Natural});
    ASSERT_TRUE(
        std::holds_alternative<SpeakResult>(h.answer(Speak{"2", "d", {}, {}, c.voice_id, 1.0f})));
    const auto messages = speak_out(h);
    EXPECT_EQ(begins(messages), c.want) << c.voice_id.value_or("none");
    std::vector<std::string> want_voices;
    for (const std::string& b : c.want) want_voices.push_back(b.substr(3));
    EXPECT_EQ(voices_heard(h), want_voices);
  }
}

TEST(PassageVoicesTest, VoicesAreSetOnlyWhenTheLanguageChanges) {
  FakeHost h = mixed_host();
  h.answer(LoadDocument{"1", "d", kMixed + "\n# More\n\n" + std::string(kEnglish) + "\n",
                        RequestedReading::Natural});
  h.answer(Speak{"2", "d", {}, {}, {}, 1.0f});
  speak_out(h);
  std::vector<std::string> set;
  for (const Voice& v : h.fake->voices_set()) set.push_back(v.id);
  // The document's (English) voice by the configuration, then one change per language change.
  EXPECT_EQ(set, (std::vector<std::string>{"en-a", "es-a", "en-a"}));
}

TEST(PassageVoicesTest, BeforeAnyVoiceListTheSynthesizerPicksByLanguage) {
  FakeHost h = mixed_host(true);
  h.answer(LoadDocument{"1", "d", kMixed, RequestedReading::Natural});
  h.answer(Speak{"2", "d", {}, {}, {}, 1.0f});
  const auto messages = speak_out(h);
  EXPECT_EQ(begins(messages), (std::vector<std::string>{"en:-", "en:-", "es:-", "es:-"}));
  EXPECT_EQ(h.fake->calls(FakeOp::Voices), 0);  // nothing waited for a listing
  EXPECT_EQ(h.fake->language(), "es-ES");
}

TEST(PassageVoicesTest, ResumeRestoresTheVoiceOfThePausedUtterance) {
  FakeHost h = mixed_host();
  h.answer(LoadDocument{"1", "d", kMixed, RequestedReading::Natural});
  h.answer(Speak{"2", "d", {}, {}, {}, 1.0f});
  // Through the English part into the Spanish heading, then pause there.
  for (int i = 0; i < 2; ++i) {
    h.fake->begin_next();
    h.fake->end_current();
    h.take_messages();
  }
  h.fake->begin_next();
  h.take_messages();
  ASSERT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
  ASSERT_TRUE(std::get<ResumeResult>(h.answer(Resume{"r", 1.5f, std::nullopt})).resumed);
  const auto queued = h.fake->queued();
  ASSERT_GE(queued.size(), 5u);
  EXPECT_EQ(queued[4].text, "Guía");
  ASSERT_TRUE(queued[4].voice);
  EXPECT_EQ(queued[4].voice->id, "es-a");
  EXPECT_EQ(begins(speak_out(h)), (std::vector<std::string>{"es:es-a", "es:es-a"}));
  // The new rate holds across the switch.
  EXPECT_EQ(h.fake->queued().back().rate, h.fake->queued()[4].rate);
  EXPECT_GT(h.fake->queued()[4].rate, queued[0].rate);
}

TEST(PassageVoicesTest, AnswersCarryEachUtterancesLanguageOnlyInTheNaturalReading) {
  FakeHost h = mixed_host();
  h.answer(LoadDocument{"1", "n", kMixed, RequestedReading::Natural});
  h.answer(LoadDocument{"1", "p", kMixed});
  const auto natural = std::get<PrepareSpeechResult>(h.answer(PrepareSpeech{"2", "n", {}, {}}));
  const auto plain = std::get<PrepareSpeechResult>(h.answer(PrepareSpeech{"2", "p", {}, {}}));
  EXPECT_EQ(natural.language_code, plain.language_code);
  std::vector<std::string> got;
  for (const auto& u : natural.utterances) {
    EXPECT_TRUE(u.with_language);
    got.push_back(std::string(u.language_code.value_or("-")));
  }
  EXPECT_EQ(got, (std::vector<std::string>{"en", "en", "es", "es"}));
  for (const auto& u : plain.utterances) EXPECT_FALSE(u.with_language);

  // The summary speaks the document's language.
  const auto summary = std::get<PrepareSummaryResult>(h.answer(PrepareSummary{"3", "n"}));
  ASSERT_FALSE(summary.utterances.empty());
  for (const auto& u : summary.utterances) {
    EXPECT_EQ(u.language_code, summary.language_code);
  }
  h.answer(SpeakSummary{"4", "n", {}, 1.0f});
  for (const std::string& b : begins(speak_out(h))) {
    EXPECT_EQ(b, *summary.language_code + ":" + (*summary.language_code == "es" ? "es-a" : "en-a"));
  }

  // The plain reading: one voice, and begins without the members.
  h.answer(Speak{"5", "p", {}, {}, {}, 1.0f});
  for (const Message& m : speak_out(h)) {
    if (const auto* b = std::get_if<UtteranceBegin>(&m)) {
      EXPECT_FALSE(b->with_voice);
    }
  }
}

}  // namespace
}  // namespace mdspeak
