#include "summary/phrasing.h"

#include <algorithm>
#include <array>

#include "common/text.h"
#include "common/unicode.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

constexpr std::array<std::string_view, 6> kCategoryPhrases = {
    "an engineering overview", "a setup and usage guide", "a technical reference",
    "an operational runbook",  "a status and change log", "a planning and task-tracking document",
};

// Indexed by SectionKind.
constexpr std::array<std::string_view, 8> kItemPhrases = {
    "highlights points such as",      // Overview
    "walks through steps such as",    // Setup
    "lists items such as",            // Reference
    "walks through actions such as",  // Runbook
    "highlights points such as",      // Status
    "highlights points such as",      // Planning
    "highlights points such as",      // Caveat
    "highlights points such as",      // General
};
constexpr std::array<std::string_view, 8> kLeadVerbs = {
    "explains", "explains", "documents", "describes",
    "explains", "explains", "explains",  "explains",
};

// Tried in this order, whatever their order in the sentence.
constexpr std::array<std::string_view, 11> kSubjectVerbs = {
    " is ",       " are ",  " provides ", " explains ", " describes ", " documents ",
    " supports ", " lets ", " helps ",    " enables ",  " covers ",
};

constexpr std::array<std::string_view, 7> kGenericSubjects = {
    "it", "this", "the file", "this file", "the document", "this document", "this markdown file",
};

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

bool is_generic_subject(std::string_view candidate) {
  const std::string form = normalize_for_matching(candidate);
  return std::find(kGenericSubjects.begin(), kGenericSubjects.end(), form) !=
         kGenericSubjects.end();
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

std::optional<std::string> subject_from_lead(std::string_view lead) {
  const std::string_view sentence = text::trim(lead);
  const std::string form = normalize_for_matching(sentence);
  std::vector<std::size_t> run_starts;
  for (std::string_view verb : kSubjectVerbs) {
    const std::size_t at = form.find(verb);
    if (at == std::string::npos) continue;
    // The verb's word index is the number of spaces up to and including the one before it.
    const auto word_index =
        static_cast<std::size_t>(std::count(form.begin(), form.begin() + at + 1, ' '));
    if (run_starts.empty()) run_starts = alphanumeric_run_starts(sentence);
    if (word_index >= run_starts.size()) continue;  // cannot happen: one run per word
    const std::string_view candidate =
        strip_subject_edges(sentence.substr(0, run_starts[word_index]));
    if (candidate.empty() || is_generic_subject(candidate)) continue;
    const std::size_t count = unicode::words(candidate).size();
    if (count < 1 || count > kMaxSubjectWords) continue;
    return std::string(candidate);
  }
  return std::nullopt;
}

std::string section_label(const SectionProfile& profile) {
  if (profile.heading) return "The " + *profile.heading + " section";
  return "This part of the file";
}

std::string sampled_series(std::span<const std::string_view> items) {
  return format_series(sample_items(items));
}

// A topic counts as mentioned when the lead starts with it or holds it anywhere, even inside a
// word.
bool mentioned_in(std::string_view lead, std::string_view lead_form, std::string_view topic) {
  if (starts_with_phrase(lead, topic)) return true;
  const std::string topic_form = normalize_for_matching(topic);
  return topic_form.empty() || lead_form.find(topic_form) != std::string_view::npos;
}

}  // namespace

std::string_view category_phrase(SectionKind category) {
  const auto index = static_cast<std::size_t>(category);
  return index < kCategoryPhrases.size() ? kCategoryPhrases[index] : kCategoryPhrases[0];
}

std::optional<std::string> find_subject(const ParsedMarkdownDocument& document,
                                        const std::vector<SectionProfile>& profiles) {
  if (document.title) {
    const std::string_view title = text::trim(document.title->text);
    if (!title.empty() && !is_generic_heading(title)) return std::string(title);
  }
  for (const SectionProfile& profile : profiles) {
    if (!profile.lead_sentence) continue;
    if (auto subject = subject_from_lead(*profile.lead_sentence)) return subject;
  }
  return std::nullopt;
}

std::string section_clause(std::string_view lead_sentence) {
  return lowercase_sentence_start(strip_trailing_sentence_ends(text::trim(lead_sentence)));
}

std::string build_opening_paragraph(const std::vector<SectionProfile>& profiles,
                                    const SectionProfile& primary, SectionKind category,
                                    const std::optional<std::string>& subject) {
  std::optional<std::string> lead;
  if (primary.lead_sentence) {
    std::string normalized = normalize_sentence(*primary.lead_sentence);
    if (unicode::words(normalized).size() >= kMinOpeningLeadWords) lead = std::move(normalized);
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

  const std::string phrase(category_phrase(category));
  std::string text;
  if (!subject || (lead && starts_with_phrase(*lead, *subject))) {
    text = "This file serves as " + phrase + ".";
  } else {
    text = "This file serves as " + phrase + " for " + *subject + ".";
  }

  if (!lead) {
    if (!topics.empty()) text += " It covers " + format_series(topics) + ".";
  } else {
    text += " " + *lead;
    const std::string lead_form = normalize_for_matching(*lead);
    const bool any_mentioned = std::any_of(topics.begin(), topics.end(), [&](const std::string& t) {
      return mentioned_in(*lead, lead_form, t);
    });
    if (!topics.empty() && !any_mentioned) {
      text += " It focuses on " + format_series(topics) + ".";
    }
  }
  return text;
}

std::string build_section_paragraph(const SectionProfile& profile) {
  const std::string label = section_label(profile);
  switch (profile.kind) {
    case SectionKind::Status:
      if (!profile.items.empty()) {
        return label + " summarizes items such as " + sampled_series(profile.items) + ".";
      }
      if (profile.lead_sentence) {
        return label + " summarizes that " + section_clause(*profile.lead_sentence) + ".";
      }
      return label + " summarizes " + profile.topic + ".";
    case SectionKind::Planning: {
      std::vector<std::string> parts;
      if (!profile.completed_items.empty()) {
        parts.push_back("completed work such as " + sampled_series(profile.completed_items));
      }
      if (!profile.remaining_items.empty()) {
        parts.push_back("remaining work such as " + sampled_series(profile.remaining_items));
      }
      if (parts.empty()) return summarize_general_section(profile);
      const std::string tracked = parts.size() == 2 ? parts[0] + " and " + parts[1] : parts[0];
      return label + " tracks " + tracked + ".";
    }
    case SectionKind::Caveat:
      if (profile.lead_sentence) {
        return label + " calls out that " + section_clause(*profile.lead_sentence) + ".";
      }
      return label + " calls out " + profile.topic + ".";
    default:
      return summarize_general_section(profile);
  }
}

std::string summarize_general_section(const SectionProfile& profile) {
  const std::string label = section_label(profile);
  const auto kind = static_cast<std::size_t>(profile.kind);
  if (!profile.items.empty()) {
    return label + " " + std::string(kItemPhrases[kind]) + " " + sampled_series(profile.items) +
           ".";
  }
  if (profile.lead_sentence) {
    return label + " " + std::string(kLeadVerbs[kind]) + " that " +
           section_clause(*profile.lead_sentence) + ".";
  }
  return label + " covers " + profile.topic + ".";
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
      unicode::words(labels.front()).size() <= kMaxSharedLabelWords) {
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

std::string format_series(const std::vector<std::string>& phrases) {
  if (phrases.empty()) return std::string();
  if (phrases.size() == 1) return phrases.front();
  if (phrases.size() == 2) return phrases[0] + " and " + phrases[1];
  std::string head;
  for (std::size_t i = 0; i + 1 < phrases.size(); ++i) {
    if (i > 0) head += ", ";
    head += phrases[i];
  }
  return head + ", and " + phrases.back();
}

std::vector<Utterance> fallback_summary(const ParsedMarkdownDocument& document) {
  if (document.utterances.empty()) return {};
  const Utterance& first = document.utterances.front();
  const std::string first_sentence = normalize_sentence(first.text);
  std::string text;
  if (document.title) {
    const std::string_view title = text::trim(document.title->text);
    if (!title.empty() && !is_generic_heading(title)) {
      text = "This file serves as an engineering overview for " + std::string(title) + ". " +
             first_sentence;
    }
  }
  if (text.empty()) text = "This file serves as an engineering overview. " + first_sentence;
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
