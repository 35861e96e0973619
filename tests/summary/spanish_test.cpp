// Spanish summaries: the whole text of a summary for documents that take each template, the
// classification of Spanish texts against their English translations, and the joining of series.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unicode.h"
#include "summary/keywords.h"
#include "summary/phrasing.h"
#include "summary/summary.h"
#include "summary/text.h"
#include "support.h"

namespace mdspeak {
namespace {

using test::heading;
using test::item;
using test::paragraph;

constexpr SupportedLanguage kEs = SupportedLanguage::Spanish;

std::vector<std::string> spanish_summary(std::vector<Utterance> utterances) {
  std::vector<std::string> texts;
  for (const Utterance& u : summarize_document(test::document(std::move(utterances)), kEs)) {
    texts.push_back(u.text);
  }
  return texts;
}

TEST(SpanishSummaryTest, DocumentsGiveTheirSentences) {
  struct Case {
    std::string name;
    std::vector<Utterance> document;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"guide with a lead naming its subject, and a setup section",
       {heading("Quill"),
        paragraph("Quill es una herramienta que lee documentos Markdown en voz alta."),
        heading("Instalación"), item("Ejecuta el instalador"), item("Abre la aplicación")},
       {"Este archivo es una guía de instalación y uso. Quill es una herramienta que lee "
        "documentos Markdown en voz alta. Se centra en instalación.",
        "La sección Instalación recorre pasos como Ejecuta el instalador y Abre la aplicación."}},
      {"planning document: tasks, a caveat, \"e\" before an i sound",
       {heading("Guía del proyecto"),
        paragraph("Este documento recoge el plan de trabajo del equipo para el trimestre."),
        heading("Tareas"), item("Hecho: Publicar la versión 2"),
        item("Pendiente: Revisar la documentación"), item("Pendiente: Integrar el analizador"),
        heading("Limitaciones"), paragraph("Solo funciona en Linux con speech-dispatcher."),
        heading("Uso"), paragraph("Abre un archivo y pulsa espacio para leerlo.")},
       {"Este archivo es un documento de planificación y seguimiento de tareas de Guía del "
        "proyecto. Este documento recoge el plan de trabajo del equipo para el trimestre. Se "
        "centra en tareas y limitaciones.",
        "La sección Limitaciones advierte de que solo funciona en Linux con speech-dispatcher.",
        "La sección Tareas recoge trabajo terminado como Publicar la versión 2 y trabajo "
        "pendiente como Revisar la documentación e Integrar el analizador."}},
      {"subject from a short sentence: article lowered and contracted",
       {paragraph("El servidor es rápido.")},
       {"Este archivo es una visión general técnica del servidor."}},
      {"a feminine subject keeps its article",
       {paragraph("La herramienta es útil.")},
       {"Este archivo es una visión general técnica de la herramienta."}},
      {"status sections: items, and a lead",
       {heading("Registro de cambios"), heading("Versión 2.0"), item("Nueva voz en español"),
        item("Hilos más rápidos"), item("Índices corregidos"), heading("Estado actual"),
        paragraph("El proyecto está en pruebas con usuarios reales desde enero.")},
       {"Este archivo es un registro de estado y cambios de Registro de cambios. Trata sobre "
        "versión 2.0 y estado actual.",
        "La sección Versión 2.0 destaca puntos como Nueva voz en español, Hilos más rápidos e "
        "Índices corregidos."}},
      {"a reference section; a topic already in the lead is not repeated",
       {paragraph("Una biblioteca pequeña para leer texto."), heading("ÍNDICE"),
        paragraph("Capítulos y apartados del libro."), heading("Opciones"),
        item("--rate: velocidad"), item("--voice: voz")},
       {"Este archivo es una referencia técnica. Una biblioteca pequeña para leer texto.",
        "La sección Opciones enumera elementos como --rate: velocidad y --voice: voz."}},
      {"a caveat heading alone", {heading("Notas")}, {"Este archivo es un manual de operaciones."}},
      {"a name keeps its capital article",
       {heading("El Quijote")},
       {"Este archivo es una visión general técnica de El Quijote."}},
      {"no lead: the section is covered by its topic",
       {heading("Lector"), heading("Instalación"), heading("Errores")},
       {"Este archivo es una guía de instalación y uso de Lector. Trata sobre instalación y "
        "errores.",
        "La sección Instalación trata sobre Instalación."}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spanish_summary(c.document), c.want) << c.name;
  }
}

TEST(SpanishSummaryTest, FallbackInSpanish) {
  const auto with_title = test::document({heading("El Quijote"), paragraph("En un lugar.")});
  ASSERT_EQ(fallback_summary(with_title, kEs).size(), 1u);
  EXPECT_EQ(fallback_summary(with_title, kEs)[0].text,
            "Este archivo es una visión general técnica de El Quijote. El Quijote.");
  const auto untitled = test::document({paragraph("Texto suelto")});
  EXPECT_EQ(fallback_summary(untitled, kEs)[0].text,
            "Este archivo es una visión general técnica. Texto suelto.");
}

TEST(SpanishSummaryTest, SeriesJoinWithYOrE) {
  struct Case {
    std::vector<std::string> phrases;
    std::string want;
  };
  const std::vector<Case> cases = {
      {{"a"}, "a"},
      {{"a", "b"}, "a y b"},
      {{"a", "b", "c"}, "a, b y c"},
      {{"agua", "invierno"}, "agua e invierno"},
      {{"agua", "hilo"}, "agua e hilo"},
      {{"cobre", "hierro"}, "cobre y hierro"},  // "hie" is heard as "ye"
      {{"cobre", "hiato"}, "cobre y hiato"},
      {{"texto", "Índice"}, "texto e Índice"},
      {{"texto", "HISTORIA"}, "texto e HISTORIA"},
      {{"texto", "Hielo"}, "texto y Hielo"},
      {{"texto", "ítem"}, "texto e ítem"},
      {{"texto", "yodo"}, "texto y yodo"},
      {{"uno", ""}, "uno y "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(format_series(c.phrases, kEs), c.want);
    if (c.phrases.size() >= 3) {
      EXPECT_EQ(format_series(c.phrases), "a, b, and c");  // English keeps its comma
    }
  }
}

// A section of a document and its English translation are given the same kind.
TEST(SpanishSummaryTest, SpanishTextsTakeTheKindOfTheirTranslation) {
  struct Case {
    std::string english;
    std::string spanish;
    SectionKind want;
  };
  const std::vector<Case> cases = {
      {"Installation: install the package and run it.",
       "Instalación: instala el paquete y ejecútalo.", SectionKind::Setup},
      {"fakeroot - run a command in an environment", "fakeroot - ejecuta una orden en un entorno",
       SectionKind::Setup},
      {"Options: the --rate option sets the speed.",
       "Opciones: la opción --rate fija la velocidad.", SectionKind::Reference},
      {"Troubleshooting: how to debug a stuck daemon.",
       "Solución de problemas: cómo depurar un demonio atascado.", SectionKind::Runbook},
      {"Changelog: version 2 was released.", "Registro de cambios: se ha publicado la versión 2.",
       SectionKind::Status},
      {"Roadmap: next steps for the team.", "Hoja de ruta: próximos pasos del equipo.",
       SectionKind::Planning},
      {"Limitations: works on Linux.", "Limitaciones: funciona en Linux.", SectionKind::Caveat},
      {"Architecture of the reader.", "Arquitectura del lector.", SectionKind::Overview},
      {"Exit status: zero on success.", "Estado de salida: cero si todo va bien.",
       SectionKind::Status},
      // Words that are keywords in one language only do not count in the other.
      {"All of it went well.", "Todo salió bien.", SectionKind::General},
      {"He has been there.", "Ha estado allí.", SectionKind::General},
  };
  for (const Case& c : cases) {
    KeywordMatcher english;
    english.feed(c.english);
    KeywordMatcher spanish(kEs);
    spanish.feed(c.spanish);
    EXPECT_EQ(english.kind(), c.want) << c.english;
    EXPECT_EQ(spanish.kind(), c.want) << c.spanish;
    // An English document never reads Spanish keywords.
    KeywordMatcher spanish_as_english;
    spanish_as_english.feed(c.spanish);
    if (c.want != SectionKind::General && c.want != SectionKind::Overview) {
      EXPECT_NE(spanish_as_english.kind(), c.want) << c.spanish;
    }
  }
}

// The matcher's fast path finds exactly what `contains_any` finds with the Spanish lists, accented
// words and words that start with an accented letter included.
TEST(SpanishSummaryTest, SpanishMatcherAgreesWithTheLists) {
  const std::vector<std::string> vocabulary = {
      "órdenes", "Órdenes", "instalación", "INSTALACIÓN", "hoja",    "de",   "ruta",
      "solo",    "sólo",    "únicamente",  "todo",        "to",      "do",   "estado",
      "salida",  "uso",     "usos",        "límite",      "límites", "nota", "próximos",
      "pasos",   "api",     "run",         "ejecuta",     "notas",   "de",   "lanzamiento"};
  const std::vector<std::string> separators = {" ", ", ", "-", "\u00A0", "\n"};
  unsigned state = 7;
  const auto next = [&state](std::size_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  };
  for (int n = 0; n < 3000; ++n) {
    std::string text;
    const std::size_t length = 1 + next(30);
    for (std::size_t i = 0; i < length; ++i) {
      if (i > 0) text += separators[next(separators.size())];
      text += vocabulary[next(vocabulary.size())];
    }
    KeywordMatcher matcher(kEs);
    matcher.feed(text);
    SectionKind want = SectionKind::General;
    const std::string form = normalize_for_matching(text);
    for (SectionKind kind :
         {SectionKind::Planning, SectionKind::Status, SectionKind::Caveat, SectionKind::Setup,
          SectionKind::Reference, SectionKind::Runbook, SectionKind::Overview}) {
      if (contains_any(form, keyword_list(kind, kEs))) {
        want = kind;
        break;
      }
    }
    ASSERT_EQ(matcher.kind(), want) << text;
  }
}

TEST(SpanishSummaryTest, GenericHeadingsInSpanish) {
  EXPECT_TRUE(is_generic_heading("Introducción", kEs));
  EXPECT_TRUE(is_generic_heading("ÍNDICE", kEs));
  EXPECT_TRUE(is_generic_heading("Cómo funciona", kEs));
  EXPECT_TRUE(is_generic_heading("Overview", kEs));  // English headings in a Spanish text
  EXPECT_FALSE(is_generic_heading("Instalación rápida", kEs));
  EXPECT_FALSE(is_generic_heading("Introducción"));  // not in English text
}

}  // namespace
}  // namespace mdspeak
