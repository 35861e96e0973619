#include "language/language.h"

#include <gtest/gtest.h>

#include <array>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace mdspeak {
namespace {

using Lang = std::optional<SupportedLanguage>;
constexpr auto kEnglish = SupportedLanguage::English;
constexpr auto kSpanish = SupportedLanguage::Spanish;

struct Case {
  std::string text;
  Lang expected;
};

TEST(FromLocale, PrimarySubtagDecides) {
  const std::vector<Case> cases = {
      {"en-US", kEnglish},     {"en_GB", kEnglish},       {"EN", kEnglish},
      {"EN-au", kEnglish},     {"en", kEnglish},          {"en-", kEnglish},
      {"es-MX", kSpanish},     {"Es_es", kSpanish},       {"es-419", kSpanish},
      {"eS", kSpanish},        {"es_ES.UTF-8", kSpanish}, {"", std::nullopt},
      {"-US", std::nullopt},   {"_es", std::nullopt},     {"fr-FR", std::nullopt},
      {"eng", std::nullopt},   {"spa-ES", std::nullopt},  {" en-US", std::nullopt},
      {"en US", std::nullopt}, {"e", std::nullopt},       {"\xC3\xA9n-US", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(from_locale(c.text), c.expected) << '"' << c.text << '"';
}

TEST(LanguageCode, IsTheTwoLetterLocaleCode) {
  for (auto language : {kEnglish, kSpanish}) {
    EXPECT_EQ(language_code(language).size(), 2u);
    EXPECT_EQ(from_locale(language_code(language)), language);
  }
  EXPECT_NE(language_code(kEnglish), language_code(kSpanish));
}

TEST(DetectSupportedLanguage, NeedsTwentyLetters) {
  const std::vector<Case> cases = {
      {"", std::nullopt},
      {" \t\n\u00A0\u3000 ", std::nullopt},
      {"12 345, 67.8 -- !!! ??? (1999) #$%", std::nullopt},
      {"the house is on the hill", std::nullopt},  // 19 letters
      {"the house is on the hills", kEnglish},     // 20
      // Letters, not bytes: these have 19 letters in more than 20 bytes.
      {"el niño comió en la casa", std::nullopt},
      {"el niño comió en la casas", kSpanish},
      {"él añadió más tortilla", std::nullopt},
      {"él añadió más tortillas", kSpanish},
      // Digits and punctuation do not count.
      {"12 cats, 7 dogs & 3 birds: 1999 -- the far", std::nullopt},
      {"12 cats, 7 dogs & 3 birds: 1999 -- the farm", kEnglish},
      // Nor does white space of any kind, at the ends or inside.
      {"\t\n the\u00A0house is\u2003on the\u3000hills \n", kEnglish},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detect_supported_language(c.text), c.expected) << '"' << c.text << '"';
  }
}

const std::string kEnglishParagraph =
    "The service reads Markdown documents aloud. Each heading, paragraph and list item becomes an "
    "utterance, and the client is told which part of the source is being spoken at every moment.";
const std::string kSpanishParagraph =
    "El servicio lee en voz alta los documentos escritos en Markdown. Cada título, párrafo y "
    "elemento de lista se convierte en una frase, y el cliente sabe en todo momento qué parte del "
    "texto se está leyendo.";

TEST(DetectSupportedLanguage, TellsEnglishFromSpanish) {
  const std::vector<Case> cases = {
      {kEnglishParagraph, kEnglish},
      {kSpanishParagraph, kSpanish},
      {"Press the button to stop the speech and go back to the list of documents.", kEnglish},
      {"Pulse el botón para detener la voz y volver a la lista de documentos.", kSpanish},
      {"THE SERVICE READS EVERY DOCUMENT ALOUD, ONE PARAGRAPH AFTER ANOTHER.", kEnglish},
      {"# Instalación\n\n* Descargue el paquete.\n* Ejecute `make install` con permisos de "
       "administrador.",
       kSpanish},
  };
  for (const auto& c : cases) EXPECT_EQ(detect_supported_language(c.text), c.expected) << c.text;
}

TEST(DetectSupportedLanguage, OtherScriptsGiveNothing) {
  const std::vector<Case> cases = {
      {"Быстрая коричневая лиса перепрыгивает через ленивую собаку.", std::nullopt},
      {"这是一个用中文写的段落，它不应该被识别为英语或者西班牙语。", std::nullopt},
      // Russian around a few English names: Cyrillic still leads.
      {"Документ README описывает, как собрать проект с помощью CMake и Ninja.", std::nullopt},
      // An English sentence quoting a Russian word: Latin leads.
      {kEnglishParagraph + " The Russian for it is голос.", kEnglish},
  };
  for (const auto& c : cases) EXPECT_EQ(detect_supported_language(c.text), c.expected) << c.text;
}

TEST(DetectSupportedLanguage, MixedDocumentGoesToItsMajority) {
  const std::string english_more =
      "Install the package with the system package manager before the first run. "
      "The configuration lives in your home directory and is read once at start-up. "
      "Every document you open is read aloud from the first heading to the last list item. " +
      kSpanishParagraph;
  const std::string spanish_more =
      "Instale el paquete con el gestor de paquetes del sistema antes de la primera ejecución. "
      "La configuración se guarda en su directorio personal y se lee una sola vez al "
      "arrancar. Cada documento que abra se lee en voz alta desde el primer título hasta el "
      "último elemento de la lista. " +
      kEnglishParagraph;
  EXPECT_EQ(detect_supported_language(english_more), kEnglish);
  EXPECT_EQ(detect_supported_language(spanish_more), kSpanish);
}

// Each test runs in a process of its own under ctest, so this really is the first use there.
TEST(DetectSupportedLanguage, ConcurrentFirstUseIsSafe) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  std::latch start(kThreads);
  std::array<int, kThreads> correct{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      const bool spanish_first = t % 2 == 1;
      for (int round = 0; round < kRounds; ++round) {
        const bool spanish = (round % 2 == 0) == spanish_first;
        const auto answer =
            detect_supported_language(spanish ? kSpanishParagraph : kEnglishParagraph);
        if (answer == (spanish ? kSpanish : kEnglish)) ++correct[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(correct[t], kRounds) << "thread " << t;
}

// Pieces answer as their join by single spaces does, wherever the cuts fall (inside words, in
// the middle of the twenty letters, around other scripts), and on a thread of its own for long
// texts.
TEST(DetectSupportedLanguage, PiecesAnswerAsTheirJoin) {
  std::string long_spanish;
  while (long_spanish.size() < (1 << 17)) long_spanish += kSpanishParagraph + ' ';
  const std::vector<std::vector<std::string>> cases = {
      {"el niño comió", "en la casas"},
      {"el niño comió en", "la casa"},
      {"the house", "is on the hill"},
      {"The ser", "vice reads Markdown documents al", "oud."},
      {kSpanishParagraph, kEnglishParagraph},
      {kEnglishParagraph, "", kSpanishParagraph, kSpanishParagraph},
      {"Привет мир как дела сегодня", "the house is on the hill"},
      {long_spanish, kEnglishParagraph},
      {"", ""},
  };
  for (const auto& pieces : cases) {
    std::string joined;
    std::vector<std::string_view> views;
    for (const std::string& piece : pieces) {
      if (!views.empty()) joined += ' ';
      joined += piece;
      views.push_back(piece);
    }
    SCOPED_TRACE(joined.substr(0, 60));
    const auto expected = detect_supported_language(joined);
    EXPECT_EQ(detect_supported_language(views), expected);
    StreamingDetection streamed;
    for (const std::string& piece : pieces) streamed.add(piece);
    EXPECT_EQ(streamed.finish(), expected);
  }
  StreamingDetection abandoned;
  for (int i = 0; i < 8; ++i) abandoned.add(long_spanish);

  // Megabytes of pieces are read in runs, partly by the thread and partly by `finish`.
  std::vector<std::string> many;
  for (int i = 0; i < 30000; ++i) many.push_back(i % 3 == 0 ? kEnglishParagraph : "la casa");
  std::string joined;
  StreamingDetection streamed;
  for (const std::string& piece : many) {
    joined += (joined.empty() ? "" : " ") + piece;
    streamed.add(piece);
  }
  EXPECT_EQ(streamed.finish(), detect_supported_language(joined));
}

}  // namespace
}  // namespace mdspeak
