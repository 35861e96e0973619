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
      {"el ni\u00F1o comi\u00F3 en la casa", std::nullopt},
      {"el ni\u00F1o comi\u00F3 en la casas", kSpanish},
      {"\u00E9l a\u00F1adi\u00F3 m\u00E1s tortilla", std::nullopt},
      {"\u00E9l a\u00F1adi\u00F3 m\u00E1s tortillas", kSpanish},
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
    "El servicio lee en voz alta los documentos escritos en Markdown. Cada t\u00EDtulo, "
    "p\u00E1rrafo "
    "y elemento de lista se convierte en una frase, y el cliente sabe en todo momento qu\u00E9 "
    "parte "
    "del texto se est\u00E1 leyendo.";

TEST(DetectSupportedLanguage, TellsEnglishFromSpanish) {
  const std::vector<Case> cases = {
      {kEnglishParagraph, kEnglish},
      {kSpanishParagraph, kSpanish},
      {"Press the button to stop the speech and go back to the list of documents.", kEnglish},
      {"Pulse el bot\u00F3n para detener la voz y volver a la lista de documentos.", kSpanish},
      {"THE SERVICE READS EVERY DOCUMENT ALOUD, ONE PARAGRAPH AFTER ANOTHER.", kEnglish},
      {"# Instalaci\u00F3n\n\n* Descargue el paquete.\n* Ejecute `make install` con permisos de "
       "administrador.",
       kSpanish},
  };
  for (const auto& c : cases) EXPECT_EQ(detect_supported_language(c.text), c.expected) << c.text;
}

TEST(DetectSupportedLanguage, OtherScriptsGiveNothing) {
  const std::vector<Case> cases = {
      {"\u0411\u044B\u0441\u0442\u0440\u0430\u044F \u043A\u043E\u0440\u0438\u0447\u043D\u0435\u0432"
       "\u0430\u044F \u043B\u0438\u0441\u0430 "
       "\u043F\u0435\u0440\u0435\u043F\u0440\u044B\u0433\u0438"
       "\u0432\u0430\u0435\u0442 \u0447\u0435\u0440\u0435\u0437 "
       "\u043B\u0435\u043D\u0438\u0432\u0443"
       "\u044E \u0441\u043E\u0431\u0430\u043A\u0443.",
       std::nullopt},
      {"\u8FD9\u662F\u4E00\u4E2A\u7528\u4E2D\u6587\u5199\u7684\u6BB5\u843D\uFF0C\u5B83\u4E0D\u5E94"
       "\u8BE5\u88AB\u8BC6\u522B\u4E3A\u82F1\u8BED\u6216\u8005\u897F\u73ED\u7259\u8BED\u3002",
       std::nullopt},
      // Russian around a few English names: Cyrillic still leads.
      {"\u0414\u043E\u043A\u0443\u043C\u0435\u043D\u0442 README \u043E\u043F\u0438\u0441\u044B"
       "\u0432\u0430\u0435\u0442, \u043A\u0430\u043A \u0441\u043E\u0431\u0440\u0430\u0442\u044C "
       "\u043F\u0440\u043E\u0435\u043A\u0442 \u0441 \u043F\u043E\u043C\u043E\u0449\u044C\u044E "
       "CMake \u0438 Ninja.",
       std::nullopt},
      // An English sentence quoting a Russian word: Latin leads.
      {kEnglishParagraph + " The Russian for it is \u0433\u043E\u043B\u043E\u0441.", kEnglish},
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
      "Instale el paquete con el gestor de paquetes del sistema antes de la primera "
      "ejecuci\u00F3n. "
      "La configuraci\u00F3n se guarda en su directorio personal y se lee una sola vez al "
      "arrancar. Cada documento que abra se lee en voz alta desde el primer t\u00EDtulo hasta el "
      "\u00FAltimo elemento de la lista. " +
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

}  // namespace
}  // namespace mdspeak
