#include "summary/profile.h"

#include <algorithm>
#include <array>
#include <span>

#include "common/unicode.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

constexpr std::array<std::string_view, 8> OVERVIEW_TERMS = {
    "architecture", "design",   "how it works", "intro",
    "introduction", "overview", "scope",        "system",
};
constexpr std::array<std::string_view, 15> SETUP_TERMS = {
    "bootstrap",       "build",      "configure",    "configuration", "development",
    "getting started", "install",    "installation", "local",         "package",
    "packaging",       "quickstart", "run",          "setup",         "usage",
};
constexpr std::array<std::string_view, 17> REFERENCE_TERMS = {
    "api",         "command",   "commands", "config",    "configuration", "env",
    "environment", "field",     "flag",     "interface", "option",        "options",
    "parameter",   "reference", "schema",   "setting",   "settings",
};
constexpr std::array<std::string_view, 9> RUNBOOK_TERMS = {
    "debug",    "diagnose", "error",        "incident",        "mitigation",
    "recovery", "runbook",  "troubleshoot", "troubleshooting",
};
constexpr std::array<std::string_view, 9> STATUS_TERMS = {
    "changelog", "completed", "progress", "release note", "release notes",
    "released",  "shipped",   "status",   "update",
};
constexpr std::array<std::string_view, 13> PLANNING_TERMS = {
    "action item", "action items", "backlog", "checklist", "milestone", "next step", "next steps",
    "plan",        "roadmap",      "task",    "tasks",     "todo",      "to do",
};
constexpr std::array<std::string_view, 17> CAVEAT_TERMS = {
    "boundary",    "boundaries", "caveat",   "caveats",     "compatibility", "constraint",
    "constraints", "depends",    "fallback", "limitation",  "limitations",   "note",
    "notes",       "only",       "requires", "unsupported", "warning",
};

// The keyword list of each category, indexed by SectionKind (Overview..Planning).
constexpr std::array<std::span<const std::string_view>, 6> CATEGORY_TERMS = {
    OVERVIEW_TERMS, SETUP_TERMS, REFERENCE_TERMS, RUNBOOK_TERMS, STATUS_TERMS, PLANNING_TERMS,
};

struct KindTest {
  std::span<const std::string_view> terms;
  SectionKind kind;
};
// Caveats are tested before setup so that "this only works on ..." under an install heading
// reads as a caveat.
constexpr std::array<KindTest, 7> KIND_TESTS = {{
    {PLANNING_TERMS, SectionKind::Planning},
    {STATUS_TERMS, SectionKind::Status},
    {CAVEAT_TERMS, SectionKind::Caveat},
    {SETUP_TERMS, SectionKind::Setup},
    {REFERENCE_TERMS, SectionKind::Reference},
    {RUNBOOK_TERMS, SectionKind::Runbook},
    {OVERVIEW_TERMS, SectionKind::Overview},
}};

struct ScoreBases {
  float primary;
  float secondary;
  float tertiary;
};
// Indexed by SectionKind.
constexpr std::array<ScoreBases, 8> SCORE_BASES = {{
    {1.6f, 1.0f, 0.4f},  // Overview
    {1.0f, 1.5f, 1.2f},  // Setup
    {0.8f, 1.4f, 0.4f},  // Reference
    {0.5f, 1.1f, 2.2f},  // Runbook
    {0.3f, 0.7f, 2.8f},  // Status
    {0.2f, 0.4f, 3.2f},  // Planning
    {0.4f, 0.8f, 2.6f},  // Caveat
    {0.7f, 0.9f, 0.5f},  // General
}};

// Title keywords replace a category's starting weight with these, indexed like CATEGORY_TERMS.
constexpr std::array<float, 6> TITLE_WEIGHTS = {1.5f, 1.7f, 1.7f, 1.7f, 1.9f, 1.9f};

constexpr std::string_view DEFAULT_TOPIC = "the core implementation details";
constexpr std::size_t TOPIC_WORDS = 10;
constexpr std::size_t LEAD_MIN_WORDS = 4;

bool is_sentence_end(char c) {
  return c == '.' || c == '!' || c == '?';
}

std::string_view strip_trailing_sentence_ends(std::string_view text) {
  while (!text.empty() && is_sentence_end(text.back())) text.remove_suffix(1);
  return text;
}

std::size_t word_count(std::string_view text) {
  return unicode::words(text).size();
}

// The first sentence of at least four words of a trimmed text, else the whole text.
std::string_view choose_lead(std::string_view trimmed) {
  std::size_t begin = 0;
  while (begin < trimmed.size()) {
    std::size_t end = begin;
    while (end < trimmed.size() && !is_sentence_end(trimmed[end])) ++end;
    if (end < trimmed.size()) ++end;  // the terminator belongs to its piece
    const std::string_view piece = trimmed.substr(begin, end - begin);
    if (word_count(piece) >= LEAD_MIN_WORDS) return piece;
    begin = end;
  }
  return trimmed;
}

std::string topic_from_lead(std::string_view lead) {
  const auto lead_words = unicode::words(strip_trailing_sentence_ends(unicode::trim(lead)));
  if (lead_words.empty()) return std::string(DEFAULT_TOPIC);
  std::string topic;
  for (std::size_t i = 0; i < lead_words.size() && i < TOPIC_WORDS; ++i) {
    if (i > 0) topic.push_back(' ');
    topic.append(lead_words[i]);
  }
  return topic;
}

// The rest of `item` after `prefix`, trimmed, when the item begins with it exactly.
std::optional<std::string> strip_task_prefix(std::string_view item, std::string_view prefix) {
  if (!item.starts_with(prefix)) return std::nullopt;
  return std::string(unicode::trim(item.substr(prefix.size())));
}

// Position of the highest score among the admitted profiles; the earlier profile wins a tie.
template <class Admit, class Score>
std::optional<std::size_t> best_profile(const std::vector<SectionProfile>& profiles, Admit admit,
                                        Score score) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    if (!admit(i)) continue;
    if (!best || score(profiles[i]) > score(profiles[*best])) best = i;
  }
  return best;
}

}  // namespace

SectionKind classify_matching_text(std::string_view matching_text) {
  // Same answer as running contains_any with each list in turn, but in one pass over the text:
  // bodies can be long and most keywords never occur, so scanning the text once per keyword
  // would dominate the cost of a summary.
  struct Entry {
    std::string_view keyword;
    unsigned kinds;  // bit per SectionKind whose list holds the keyword
  };
  static const auto by_first_byte = [] {
    std::array<std::vector<Entry>, 256> table;
    for (const KindTest& test : KIND_TESTS) {
      const unsigned bit = 1u << static_cast<unsigned>(test.kind);
      for (std::string_view keyword : test.terms) {
        auto& bucket = table[static_cast<unsigned char>(keyword.front())];
        auto same = std::find_if(bucket.begin(), bucket.end(),
                                 [&](const Entry& e) { return e.keyword == keyword; });
        if (same == bucket.end()) {
          bucket.push_back({keyword, bit});
        } else {
          same->kinds |= bit;
        }
      }
    }
    return table;
  }();

  const unsigned first_test = 1u << static_cast<unsigned>(KIND_TESTS.front().kind);
  unsigned found = 0;
  const std::size_t size = matching_text.size();
  for (std::size_t at = 0; at < size && (found & first_test) == 0; ++at) {
    if (at > 0 && matching_text[at - 1] != ' ') continue;
    for (const Entry& entry : by_first_byte[static_cast<unsigned char>(matching_text[at])]) {
      const std::size_t end = at + entry.keyword.size();
      if (end <= size && (end == size || matching_text[end] == ' ') &&
          matching_text.compare(at, entry.keyword.size(), entry.keyword) == 0) {
        found |= entry.kinds;
      }
    }
  }
  for (const KindTest& test : KIND_TESTS) {
    if (found & (1u << static_cast<unsigned>(test.kind))) return test.kind;
  }
  return SectionKind::General;
}

SectionKind classify_matching_text_by_lists(std::string_view matching_text) {
  for (const KindTest& test : KIND_TESTS) {
    if (contains_any(matching_text, test.terms)) return test.kind;
  }
  return SectionKind::General;
}

std::optional<SectionProfile> profile_section(std::size_t index, const MarkdownSection& section) {
  SectionProfile profile;
  profile.index = index;
  if (section.heading) profile.heading = std::string(unicode::trim(section.heading->text));

  std::string body;
  std::size_t body_words = 0;
  for (const Utterance& utterance : section.utterances) {
    const std::string_view text = unicode::trim(utterance.text);
    if (text.empty()) continue;
    if (!body.empty()) body.push_back(' ');
    body.append(text);
    body_words += word_count(text);
  }
  if (!profile.heading && body.empty()) return std::nullopt;

  std::string matching = normalize_for_matching(profile.heading.value_or(std::string()));
  matching.push_back(' ');
  matching.append(normalize_for_matching(body));
  profile.kind = classify_matching_text(matching);

  // Only the first non-blank utterance is read for the lead sentence.
  for (const Utterance& utterance : section.utterances) {
    const std::string_view text = unicode::trim(utterance.text);
    if (text.empty()) continue;
    profile.lead_sentence = normalize_sentence(choose_lead(text));
    break;
  }

  for (const Utterance& utterance : section.utterances) {
    if (utterance.kind != UtteranceKind::Item) continue;
    std::string item(unicode::trim(utterance.text));
    if (auto done = strip_task_prefix(item, "Done:")) profile.completed_items.push_back(*done);
    if (auto open = strip_task_prefix(item, "To do:")) profile.remaining_items.push_back(*open);
    profile.items.push_back(std::move(item));
  }

  profile.generic_heading = profile.heading && is_generic_heading(*profile.heading);
  if (profile.heading && !profile.heading->empty() && !profile.generic_heading) {
    profile.topic = *profile.heading;
  } else if (profile.lead_sentence) {
    profile.topic = topic_from_lead(*profile.lead_sentence);
  } else {
    profile.topic = std::string(DEFAULT_TOPIC);
  }

  // Single-precision arithmetic in exactly this order: ties between sections are decided by
  // exact comparison, so every rounding step matters.
  const float w = static_cast<float>(body_words);
  const float p = static_cast<float>(index);
  const ScoreBases& bases = SCORE_BASES[static_cast<std::size_t>(profile.kind)];

  const float position = index == 0 ? 3.0f : std::max(p * -0.3f + 2.0f, 0.8f);
  float primary = position + bases.primary;
  primary = std::min(w / 36.0f, 1.4f) + primary;
  if (profile.generic_heading) primary = primary + -0.3f;
  profile.primary_score = primary;

  float secondary = std::max(2.2f - p * 0.2f, 0.5f) + bases.secondary;
  secondary = std::min(w / 40.0f, 1.3f) + secondary;
  secondary = secondary + (profile.generic_heading ? -0.2f : 0.4f);
  profile.secondary_score = secondary;

  float tertiary = p * 0.2f + bases.tertiary;
  tertiary = std::min(w / 60.0f, 0.8f) + tertiary;
  if (!profile.completed_items.empty()) tertiary = tertiary + 0.8f;
  if (!profile.remaining_items.empty()) tertiary = tertiary + 1.2f;
  if (profile.generic_heading) tertiary = tertiary + 0.2f;
  profile.tertiary_score = tertiary;

  if (section.heading) {
    profile.start_offset = section.heading->start_offset;
  } else if (!section.utterances.empty()) {
    profile.start_offset = section.utterances.front().start_offset;
  }
  if (!section.utterances.empty()) {
    profile.end_offset = section.utterances.back().end_offset;
  } else if (section.heading) {
    profile.end_offset = section.heading->end_offset;
  }
  return profile;
}

std::vector<SectionProfile> profile_sections(const ParsedMarkdownDocument& document) {
  std::vector<SectionProfile> profiles;
  for (std::size_t i = 0; i < document.sections.size(); ++i) {
    if (auto profile = profile_section(i, document.sections[i])) {
      profiles.push_back(std::move(*profile));
    }
  }
  return profiles;
}

SectionKind document_category(const ParsedMarkdownDocument& document,
                              const std::vector<SectionProfile>& profiles) {
  std::array<float, 6> weights = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  auto weight = [&weights](SectionKind kind) -> float& {
    return weights[static_cast<std::size_t>(kind)];
  };

  if (document.title) {
    const std::string title = normalize_for_matching(document.title->text);
    for (std::size_t c = 0; c < CATEGORY_TERMS.size(); ++c) {
      if (contains_any(title, CATEGORY_TERMS[c])) weights[c] = TITLE_WEIGHTS[c];
    }
  }

  for (const SectionProfile& profile : profiles) {
    switch (profile.kind) {
      case SectionKind::Overview:
      case SectionKind::Setup:
      case SectionKind::Reference:
      case SectionKind::Runbook:
        weight(profile.kind) += 1.0f;
        break;
      case SectionKind::Status:
      case SectionKind::Planning:
        weight(profile.kind) += 1.2f;
        break;
      case SectionKind::Caveat:
        weight(SectionKind::Runbook) += 0.4f;
        weight(SectionKind::Setup) += 0.3f;
        break;
      case SectionKind::General:
        weight(SectionKind::Overview) += 0.4f;
        break;
    }
    if (!profile.remaining_items.empty()) weight(SectionKind::Planning) += 1.0f;
    if (!profile.completed_items.empty()) weight(SectionKind::Status) += 0.6f;
  }

  // A stable sort by descending weight puts the earliest of the heaviest categories first.
  std::size_t best = 0;
  for (std::size_t c = 1; c < weights.size(); ++c) {
    if (weights[c] > weights[best]) best = c;
  }
  return static_cast<SectionKind>(best);
}

SectionChoice choose_sections(const std::vector<SectionProfile>& profiles,
                              std::size_t utterance_count) {
  SectionChoice choice;
  const auto any = [](std::size_t) { return true; };
  choice.primary = best_profile(profiles, any, [](const SectionProfile& p) {
                     return p.primary_score;
                   }).value_or(0);

  choice.secondary = best_profile(
      profiles,
      [&](std::size_t i) {
        const SectionKind kind = profiles[i].kind;
        return i != choice.primary && kind != SectionKind::Status && kind != SectionKind::Planning;
      },
      [](const SectionProfile& p) { return p.secondary_score; });

  choice.tertiary = best_profile(
      profiles,
      [&](std::size_t i) {
        const SectionKind kind = profiles[i].kind;
        return i != choice.primary && i != choice.secondary &&
               (kind == SectionKind::Runbook || kind == SectionKind::Status ||
                kind == SectionKind::Planning || kind == SectionKind::Caveat);
      },
      [](const SectionProfile& p) { return p.tertiary_score; });

  const std::size_t n = profiles.size();
  if (n == 1 || utterance_count < 3) {
    choice.paragraph_budget = 1;
  } else if (n <= 3 && utterance_count <= 7) {
    choice.paragraph_budget = 2;
  } else {
    choice.paragraph_budget = 3;
  }

  if (profiles.empty()) return choice;
  std::vector<bool> used(n, false);
  auto use = [&](std::size_t i) {
    used[i] = true;
    choice.order.push_back(i);
  };
  use(choice.primary);
  // The secondary is spoken even when the budget is already spent.
  if (choice.secondary) use(*choice.secondary);
  if (choice.tertiary && choice.order.size() < choice.paragraph_budget) use(*choice.tertiary);
  while (choice.order.size() < choice.paragraph_budget) {
    const auto next = best_profile(
        profiles, [&](std::size_t i) { return !used[i]; },
        [](const SectionProfile& p) { return p.secondary_score; });
    if (!next) break;
    use(*next);
  }
  return choice;
}

}  // namespace mdspeak
