#include "summary/phrasing.h"

#include <algorithm>
#include <array>

#include "common/text.h"
#include "common/unicode.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

// Everything a summary says in its own words, per language. Sentences are built from these
// pieces in the same order in both languages.
struct Wording {
  std::array<std::string_view, 6> categories;       // by category, Overview..Planning
  std::array<std::string_view, 8> item_phrases;     // by SectionKind
  std::array<std::string_view, 8> lead_verbs;       // by SectionKind
  std::span<const std::string_view> subject_verbs;  // tried in this order
  std::span<const std::string_view> generic_subjects;
  std::string_view opening;       // + category phrase
  std::string_view covers;        // + topics, when there is no opening lead
  std::string_view focuses;       // + topics, after the opening lead
  std::string_view label_before;  // + heading
  std::string_view label_after;
  std::string_view no_heading_label;
  std::string_view status_items;  // label + this + items
  std::string_view status_lead;   // label + this + clause
  std::string_view status_topic;  // label + this + topic
  std::string_view completed;     // + items
  std::string_view remaining;     // + items
  std::string_view tracks;        // label + this + parts
  std::string_view caveat_lead;
  std::string_view caveat_topic;
  std::string_view lead_that;  // label + lead verb + this + clause
  std::string_view section_covers;
  std::string_view fallback;  // + "." or the subject phrase
};

constexpr std::array<std::string_view, 11> kSubjectVerbs = {
    " is ",       " are ",  " provides ", " explains ", " describes ", " documents ",
    " supports ", " lets ", " helps ",    " enables ",  " covers ",
};
constexpr std::array<std::string_view, 7> kGenericSubjects = {
    "it", "this", "the file", "this file", "the document", "this document", "this markdown file",
};

constexpr Wording kEnglish = {
    {"an engineering overview", "a setup and usage guide", "a technical reference",
     "an operational runbook", "a status and change log", "a planning and task-tracking document"},
    {
        "highlights points such as",      // Overview
        "walks through steps such as",    // Setup
        "lists items such as",            // Reference
        "walks through actions such as",  // Runbook
        "highlights points such as",      // Status
        "highlights points such as",      // Planning
        "highlights points such as",      // Caveat
        "highlights points such as",      // General
    },
    {"explains", "explains", "documents", "describes", "explains", "explains", "explains",
     "explains"},
    kSubjectVerbs,
    kGenericSubjects,
    "This file serves as ",
    " It covers ",
    " It focuses on ",
    "The ",
    " section",
    "This part of the file",
    " summarizes items such as ",
    " summarizes that ",
    " summarizes ",
    "completed work such as ",
    "remaining work such as ",
    " tracks ",
    " calls out that ",
    " calls out ",
    " that ",
    " covers ",
    "This file serves as an engineering overview",
};

constexpr std::array<std::string_view, 12> kSpanishSubjectVerbs = {
    " es ",     " son ",     " proporciona ", " explica ",  " describe ", " documenta ",
    " admite ", " permite ", " ayuda ",       " facilita ", " cubre ",    " ofrece ",
};
constexpr std::array<std::string_view, 17> kSpanishGenericSubjects = {
    "it",
    "this",
    "the file",
    "this file",
    "the document",
    "this document",
    "this markdown file",
    "esto",
    "este",
    "esta",
    "el archivo",
    "este archivo",
    "el documento",
    "este documento",
    "el fichero",
    "este fichero",
    "este archivo markdown",
};

constexpr Wording kSpanish = {
    {"una visión general técnica", "una guía de instalación y uso", "una referencia técnica",
     "un manual de operaciones", "un registro de estado y cambios",
     "un documento de planificación y seguimiento de tareas"},
    {
        "destaca puntos como",     // Overview
        "recorre pasos como",      // Setup
        "enumera elementos como",  // Reference
        "recorre acciones como",   // Runbook
        "destaca puntos como",     // Status
        "destaca puntos como",     // Planning
        "destaca puntos como",     // Caveat
        "destaca puntos como",     // General
    },
    {"explica", "explica", "documenta", "indica", "explica", "explica", "explica", "explica"},
    kSpanishSubjectVerbs,
    kSpanishGenericSubjects,
    "Este archivo es ",
    " Trata sobre ",
    " Se centra en ",
    "La sección ",
    "",
    "Esta parte del archivo",
    " resume elementos como ",
    " indica que ",
    " resume ",
    "trabajo terminado como ",
    "trabajo pendiente como ",
    " recoge ",
    " advierte de que ",
    " advierte sobre ",
    " que ",
    " trata sobre ",
    "Este archivo es una visión general técnica",
};

const Wording& wording(SupportedLanguage language) {
  return language == SupportedLanguage::Spanish ? kSpanish : kEnglish;
}

// "for Quill" in English. In Spanish "de Quill", with "de el" contracted to "del" and a subject
// taken from a sentence ("La herramienta") starting with its article in lower case.
std::string subject_phrase(std::string_view subject, SupportedLanguage language) {
  if (language != SupportedLanguage::Spanish) return " for " + std::string(subject);
  constexpr std::array<std::string_view, 8> kArticles = {"El ", "La ",  "Los ",  "Las ",
                                                         "Un ", "Una ", "Unos ", "Unas "};
  std::string text(subject);
  for (std::string_view article : kArticles) {
    if (!text.starts_with(article) || text.size() <= article.size()) continue;
    std::size_t pos = article.size();
    // Only before an ordinary word: "El Quijote" is a name and keeps its article.
    if (unicode::is_lowercase(unicode::next_code_point(text, pos))) {
      text[0] = text::ascii_lower(text[0]);
    }
    break;
  }
  if (text.starts_with("el ")) return " del " + text.substr(3);
  return " de " + text;
}

constexpr std::size_t kMaxSubjectWords = 8;
constexpr std::size_t kMinOpeningLeadWords = 6;
constexpr std::size_t kMaxTopics = 4;
constexpr std::size_t kMaxSampledItems = 3;
constexpr std::size_t kMaxSharedLabelWords = 3;

bool is_subject_edge(char c) {
  return c == ' ' || c == ',' || c == '.' || c == ':' || c == ';';
}

std::string_view strip_subject_edges(std::string_view text) {
  while (!text.empty() && is_subject_edge(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_subject_edge(text.back())) text.remove_suffix(1);
  return text;
}

bool is_generic_subject(std::string_view candidate, std::span<const std::string_view> generic) {
  const std::string form = normalize_for_matching(candidate);
  return std::find(generic.begin(), generic.end(), form) != generic.end();
}

// Byte offsets where each run of alphanumeric characters of `text` begins; the n-th run is the
// n-th word of the text's matching form.
std::vector<std::size_t> alphanumeric_run_starts(std::string_view text) {
  std::vector<std::size_t> starts;
  bool in_run = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t here = pos;
    const bool alnum = unicode::is_alphanumeric(unicode::next_code_point(text, pos));
    if (alnum && !in_run) starts.push_back(here);
    in_run = alnum;
  }
  return starts;
}

std::optional<std::string> subject_from_lead(std::string_view lead, const Wording& words) {
  const std::string_view sentence = text::trim(lead);
  const std::string form = normalize_for_matching(sentence);
  std::vector<std::size_t> run_starts;
  for (std::string_view verb : words.subject_verbs) {
    const std::size_t at = form.find(verb);
    if (at == std::string::npos) continue;
    // The verb's word index is the number of spaces up to and including the one before it.
    const auto word_index =
        static_cast<std::size_t>(std::count(form.begin(), form.begin() + at + 1, ' '));
    if (run_starts.empty()) run_starts = alphanumeric_run_starts(sentence);
    if (word_index >= run_starts.size()) continue;  // cannot happen: one run per word
    const std::string_view candidate =
        strip_subject_edges(sentence.substr(0, run_starts[word_index]));
    if (candidate.empty() || is_generic_subject(candidate, words.generic_subjects)) continue;
    const std::size_t count = unicode::split_on_white_space(candidate).size();
    if (count < 1 || count > kMaxSubjectWords) continue;
    return std::string(candidate);
  }
  return std::nullopt;
}

std::string section_label(const SectionProfile& profile, const Wording& words) {
  if (profile.heading) {
    return std::string(words.label_before) + *profile.heading + std::string(words.label_after);
  }
  return std::string(words.no_heading_label);
}

std::string sampled_series(std::span<const std::string_view> items, SupportedLanguage language) {
  return format_series(sample_items(items), language);
}

// Spanish writes "e" for "y" before a word that starts with the sound of i ("i", "hi" not
// followed by a vowel, accented or capital alike).
bool takes_e(std::string_view word) {
  std::size_t pos = 0;
  const auto next = [&]() -> std::string {
    if (pos >= word.size()) return {};
    return unicode::full_lowercase(unicode::next_code_point(word, pos));
  };
  std::string first = next();
  if (first == "h") {
    first = next();
    if (first != "i" && first != "í") return false;
    const std::string after = next();
    return after != "a" && after != "e" && after != "o" && after != "u" && after != "á" &&
           after != "é" && after != "ó" && after != "ú";
  }
  return first == "i" || first == "í";
}

std::string spanish_and(std::string_view next) {
  return takes_e(next) ? " e " : " y ";
}

// A topic counts as mentioned when the lead starts with it or holds it anywhere, even inside a
// word.
bool mentioned_in(std::string_view lead, std::string_view lead_form, std::string_view topic) {
  if (starts_with_phrase(lead, topic)) return true;
  const std::string topic_form = normalize_for_matching(topic);
  return topic_form.empty() || lead_form.find(topic_form) != std::string_view::npos;
}

}  // namespace

std::string_view category_phrase(SectionKind category, SupportedLanguage language) {
  const auto& phrases = wording(language).categories;
  const auto index = static_cast<std::size_t>(category);
  return index < phrases.size() ? phrases[index] : phrases[0];
}

std::optional<std::string> find_subject(const ParsedMarkdownDocument& document,
                                        const std::vector<SectionProfile>& profiles,
                                        SupportedLanguage language) {
  if (document.title) {
    const std::string_view title = text::trim(document.title->text);
    if (!title.empty() && !is_generic_heading(title, language)) return std::string(title);
  }
  for (const SectionProfile& profile : profiles) {
    if (!profile.lead_sentence) continue;
    if (auto subject = subject_from_lead(*profile.lead_sentence, wording(language))) {
      return subject;
    }
  }
  return std::nullopt;
}

std::string section_clause(std::string_view lead_sentence) {
  return lowercase_sentence_start(strip_trailing_sentence_ends(text::trim(lead_sentence)));
}

std::string build_opening_paragraph(const std::vector<SectionProfile>& profiles,
                                    const SectionProfile& primary, SectionKind category,
                                    const std::optional<std::string>& subject,
                                    SupportedLanguage language) {
  const Wording& words = wording(language);
  std::optional<std::string> lead;
  if (primary.lead_sentence) {
    std::string normalized = normalize_sentence(*primary.lead_sentence);
    if (unicode::split_on_white_space(normalized).size() >= kMinOpeningLeadWords)
      lead = std::move(normalized);
  }

  std::vector<std::string> topics;
  for (const SectionProfile& profile : profiles) {
    if (topics.size() >= kMaxTopics) break;
    if (profile.generic_heading) continue;
    std::string topic = lowercase_sentence_start(profile.topic);
    if (topic.empty()) continue;
    if (subject && starts_with_phrase(topic, *subject)) continue;
    if (std::find(topics.begin(), topics.end(), topic) != topics.end()) continue;
    topics.push_back(std::move(topic));
  }

  const std::string phrase(category_phrase(category, language));
  std::string text;
  if (!subject || (lead && starts_with_phrase(*lead, *subject))) {
    text = std::string(words.opening) + phrase + ".";
  } else {
    text = std::string(words.opening) + phrase + subject_phrase(*subject, language) + ".";
  }

  if (!lead) {
    if (!topics.empty()) {
      text += std::string(words.covers) + format_series(topics, language) + ".";
    }
  } else {
    text += " " + *lead;
    const std::string lead_form = normalize_for_matching(*lead);
    const bool any_mentioned = std::any_of(topics.begin(), topics.end(), [&](const std::string& t) {
      return mentioned_in(*lead, lead_form, t);
    });
    if (!topics.empty() && !any_mentioned) {
      text += std::string(words.focuses) + format_series(topics, language) + ".";
    }
  }
  return text;
}

std::string build_section_paragraph(const SectionProfile& profile, SupportedLanguage language) {
  const Wording& words = wording(language);
  const std::string label = section_label(profile, words);
  switch (profile.kind) {
    case SectionKind::Status:
      if (!profile.items.empty()) {
        return label + std::string(words.status_items) + sampled_series(profile.items, language) +
               ".";
      }
      if (profile.lead_sentence) {
        return label + std::string(words.status_lead) + section_clause(*profile.lead_sentence) +
               ".";
      }
      return label + std::string(words.status_topic) + profile.topic + ".";
    case SectionKind::Planning: {
      std::vector<std::string> parts;
      if (!profile.completed_items.empty()) {
        parts.push_back(std::string(words.completed) +
                        sampled_series(profile.completed_items, language));
      }
      if (!profile.remaining_items.empty()) {
        parts.push_back(std::string(words.remaining) +
                        sampled_series(profile.remaining_items, language));
      }
      if (parts.empty()) return summarize_general_section(profile, language);
      const std::string tracked = parts.size() == 2 ? format_series(parts, language) : parts[0];
      return label + std::string(words.tracks) + tracked + ".";
    }
    case SectionKind::Caveat:
      if (profile.lead_sentence) {
        return label + std::string(words.caveat_lead) + section_clause(*profile.lead_sentence) +
               ".";
      }
      return label + std::string(words.caveat_topic) + profile.topic + ".";
    default:
      return summarize_general_section(profile, language);
  }
}

std::string summarize_general_section(const SectionProfile& profile, SupportedLanguage language) {
  const Wording& words = wording(language);
  const std::string label = section_label(profile, words);
  const auto kind = static_cast<std::size_t>(profile.kind);
  if (!profile.items.empty()) {
    return label + " " + std::string(words.item_phrases[kind]) + " " +
           sampled_series(profile.items, language) + ".";
  }
  if (profile.lead_sentence) {
    return label + " " + std::string(words.lead_verbs[kind]) + std::string(words.lead_that) +
           section_clause(*profile.lead_sentence) + ".";
  }
  return label + std::string(words.section_covers) + profile.topic + ".";
}

std::vector<std::string> sample_items(std::span<const std::string_view> items) {
  // A label shared by the first items ("Step: clone", "Step: build") is said once, not per item.
  std::vector<std::string_view> labels;
  for (std::size_t i = 0; i < items.size() && i < kMaxSampledItems; ++i) {
    const std::string_view item = items[i];
    const std::size_t colon = item.find(':');
    if (colon != std::string_view::npos) labels.push_back(text::trim(item.substr(0, colon)));
  }
  std::optional<std::string> prefix;
  if (labels.size() >= 2 &&
      std::all_of(labels.begin(), labels.end(),
                  [&](std::string_view label) { return label == labels.front(); }) &&
      unicode::split_on_white_space(labels.front()).size() <= kMaxSharedLabelWords) {
    prefix = std::string(labels.front()) + ":";
  }

  std::vector<std::string> sampled;
  for (std::size_t i = 0; i < items.size() && i < kMaxSampledItems; ++i) {
    std::string_view item = items[i];
    if (prefix && item.starts_with(*prefix)) item.remove_prefix(prefix->size());
    std::string cleaned = normalize_sentence(text::trim(item));
    while (!cleaned.empty() && cleaned.back() == '.') cleaned.pop_back();
    sampled.push_back(std::move(cleaned));
  }
  return sampled;
}

std::string format_series(const std::vector<std::string>& phrases, SupportedLanguage language) {
  if (phrases.empty()) return std::string();
  if (phrases.size() == 1) return phrases.front();
  if (language == SupportedLanguage::Spanish) {
    // "a y b", "a, b y c": no comma before the conjunction.
    std::string out;
    for (std::size_t i = 0; i + 1 < phrases.size(); ++i) {
      if (i > 0) out += ", ";
      out += phrases[i];
    }
    return out + spanish_and(phrases.back()) + phrases.back();
  }
  if (phrases.size() == 2) return phrases[0] + " and " + phrases[1];
  std::string head;
  for (std::size_t i = 0; i + 1 < phrases.size(); ++i) {
    if (i > 0) head += ", ";
    head += phrases[i];
  }
  return head + ", and " + phrases.back();
}

std::vector<Utterance> fallback_summary(const ParsedMarkdownDocument& document,
                                        SupportedLanguage language) {
  if (document.utterances.empty()) return {};
  const Wording& words = wording(language);
  const Utterance& first = document.utterances.front();
  const std::string first_sentence = normalize_sentence(first.text);
  std::string text;
  if (document.title) {
    const std::string_view title = text::trim(document.title->text);
    if (!title.empty() && !is_generic_heading(title, language)) {
      text = std::string(words.fallback) + subject_phrase(title, language) + ". " + first_sentence;
    }
  }
  if (text.empty()) text = std::string(words.fallback) + ". " + first_sentence;
  return {Utterance{normalize_sentence(text), first.start_offset, first.end_offset,
                    UtteranceKind::Paragraph}};
}

void push_summary_utterance(std::vector<Utterance>& summary, std::uint64_t start, std::uint64_t end,
                            std::string text) {
  std::string cleaned = normalize_sentence(text);
  if (cleaned.empty()) return;
  summary.push_back(
      Utterance{std::move(cleaned), start, std::max(start, end), UtteranceKind::Paragraph});
}

}  // namespace mdspeak
