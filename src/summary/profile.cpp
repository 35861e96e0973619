#include "summary/profile.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/pipeline.h"
#include "common/text.h"
#include "common/unicode.h"
#include "summary/keywords.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

struct ScoreBases {
  float primary;
  float secondary;
  float tertiary;
};
// Indexed by SectionKind.
constexpr std::array<ScoreBases, 8> kScoreBases = {{
    {1.6f, 1.0f, 0.4f},  // Overview
    {1.0f, 1.5f, 1.2f},  // Setup
    {0.8f, 1.4f, 0.4f},  // Reference
    {0.5f, 1.1f, 2.2f},  // Runbook
    {0.3f, 0.7f, 2.8f},  // Status
    {0.2f, 0.4f, 3.2f},  // Planning
    {0.4f, 0.8f, 2.6f},  // Caveat
    {0.7f, 0.9f, 0.5f},  // General
}};

// Title keywords replace a category's starting weight with these, indexed by SectionKind.
constexpr std::array<float, 6> kTitleWeights = {1.5f, 1.7f, 1.7f, 1.7f, 1.9f, 1.9f};

constexpr std::string_view kDefaultTopic = "the core implementation details";
constexpr std::string_view kSpanishDefaultTopic = "los detalles principales de la implementación";
constexpr std::size_t kTopicWords = 10;
constexpr std::size_t kLeadMinWords = 4;

// Whether `text` has at least `wanted` words; stops counting there.
bool has_words(std::string_view text, std::size_t wanted) {
  std::size_t count = 0;
  bool in_word = false;
  std::size_t pos = 0;
  while (pos < text.size() && count < wanted) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    bool space;
    if (byte < 0x80) {
      ++pos;
      space = byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
    } else {
      space = unicode::is_white_space(unicode::next_code_point(text, pos));
    }
    if (!space && !in_word) ++count;
    in_word = !space;
  }
  return count >= wanted;
}

// Position of the first ".", "!" or "?" at or after `from`, else the size of `text`. Sixteen
// bytes at a time: a section's first text can be long and hold none.
std::size_t find_sentence_end(std::string_view text, std::size_t from) {
#if defined(__SSE2__)
  for (; from + 16 <= text.size(); from += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + from));
    const __m128i ends = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8('.')), _mm_cmpeq_epi8(c, _mm_set1_epi8('!'))),
        _mm_cmpeq_epi8(c, _mm_set1_epi8('?')));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
    if (mask != 0) return from + static_cast<std::size_t>(std::countr_zero(mask));
  }
#endif
  while (from < text.size() && !text::ends_sentence(text[from])) ++from;
  return from;
}

// The first sentence of at least four words of a trimmed text, else the whole text.
std::string_view choose_lead(std::string_view trimmed) {
  std::size_t begin = 0;
  while (begin < trimmed.size()) {
    std::size_t end = find_sentence_end(trimmed, begin);
    if (end < trimmed.size()) ++end;  // the terminator belongs to its piece
    const std::string_view piece = trimmed.substr(begin, end - begin);
    if (has_words(piece, kLeadMinWords)) return piece;
    begin = end;
  }
  return trimmed;
}

std::string_view default_topic(SupportedLanguage language) {
  return language == SupportedLanguage::Spanish ? kSpanishDefaultTopic : kDefaultTopic;
}

std::string topic_from_lead(std::string_view lead, SupportedLanguage language) {
  const auto lead_words =
      unicode::split_on_white_space(strip_trailing_sentence_ends(text::trim(lead)));
  if (lead_words.empty()) return std::string(default_topic(language));
  std::string topic;
  for (std::size_t i = 0; i < lead_words.size() && i < kTopicWords; ++i) {
    if (i > 0) topic.push_back(' ');
    topic.append(lead_words[i]);
  }
  return topic;
}

// The rest of `item` after `prefix`, trimmed, when the item begins with it exactly.
std::optional<std::string_view> strip_task_prefix(std::string_view item, std::string_view prefix) {
  if (!item.starts_with(prefix)) return std::nullopt;
  return text::trim(item.substr(prefix.size()));
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

// The three scores of a profiled section, from its kind, place and body length.
void set_scores(SectionProfile& profile, std::size_t index, std::size_t body_words) {
  // Single-precision arithmetic in exactly this order: ties between sections are decided by
  // exact comparison, so every rounding step matters.
  const float w = static_cast<float>(body_words);
  const float p = static_cast<float>(index);
  const ScoreBases& bases = kScoreBases[static_cast<std::size_t>(profile.kind)];

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
}

}  // namespace

std::optional<SectionProfile> profile_section(std::size_t index, const MarkdownSection& section,
                                              SupportedLanguage language) {
  SectionProfile profile;
  profile.index = index;
  if (section.heading) profile.heading = std::string(text::trim(section.heading->text));

  // The kind comes from keywords in the matching text: the heading's form, one space and the
  // body's form, where the body is the trimmed non-blank utterances joined by single spaces.
  // The matcher reads those pieces in turn without building the text, and counts the body's
  // words on the way.
  KeywordMatcher matcher(language);
  if (profile.heading) matcher.feed(*profile.heading);
  std::size_t body_words = 0;
  for (const Utterance& utterance : section.utterances) {
    // An announced code block says nothing about what the section is.
    if (utterance.kind == UtteranceKind::CodeBlock) continue;
    const std::string_view text = text::trim(utterance.text);
    if (utterance.kind == UtteranceKind::Item) {
      // Items keep their task prefixes; the task lists hold the rest without them. Spanish
      // text may quote English items.
      if (auto done = strip_task_prefix(text, kDonePrefix))
        profile.completed_items.push_back(*done);
      if (auto open = strip_task_prefix(text, kTodoPrefix))
        profile.remaining_items.push_back(*open);
      if (language == SupportedLanguage::Spanish) {
        if (auto done = strip_task_prefix(text, kSpanishDonePrefix))
          profile.completed_items.push_back(*done);
        if (auto open = strip_task_prefix(text, kSpanishTodoPrefix))
          profile.remaining_items.push_back(*open);
      }
      profile.items.push_back(text);
    }
    if (text.empty()) continue;
    // Only the first non-blank utterance is read for the lead sentence.
    if (!profile.lead_sentence) profile.lead_sentence = normalize_sentence(choose_lead(text));
    body_words += matcher.feed(text);
  }
  // A blank body leaves no lead sentence.
  if (!profile.heading && !profile.lead_sentence) return std::nullopt;
  profile.kind = matcher.kind();

  profile.generic_heading = profile.heading && is_generic_heading(*profile.heading, language);
  if (profile.heading && !profile.heading->empty() && !profile.generic_heading) {
    profile.topic = *profile.heading;
  } else if (profile.lead_sentence) {
    profile.topic = topic_from_lead(*profile.lead_sentence, language);
  } else {
    profile.topic = std::string(default_topic(language));
  }

  set_scores(profile, index, body_words);

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

std::vector<SectionProfile> profile_sections(const ParsedMarkdownDocument& document,
                                             SupportedLanguage language) {
  // Each profile depends on its own section alone: the sections are taken in runs from the
  // front by this thread and, in a large document, by a second one.
  constexpr std::size_t kSectionsPerRun = 8;
  constexpr std::size_t kUtterancesWorthAThread = 4096;
  const std::size_t count = document.section_count();
  std::vector<std::optional<SectionProfile>> made(count);
  std::atomic<std::size_t> next{0};
  const auto take_runs = [&] {
    for (;;) {
      const std::size_t from = next.fetch_add(kSectionsPerRun);
      if (from >= count) return;
      for (std::size_t i = from; i < std::min(count, from + kSectionsPerRun); ++i) {
        made[i] = profile_section(i, document.section(i), language);
      }
    }
  };
  ScopedWorker helper;
  // Without a second thread this one profiles every section.
  if (document.utterances.size() >= kUtterancesWorthAThread) helper.start(take_runs);
  take_runs();
  helper.join();
  std::vector<SectionProfile> profiles;
  profiles.reserve(count);
  for (std::optional<SectionProfile>& profile : made) {
    if (profile) profiles.push_back(std::move(*profile));
  }
  return profiles;
}

SectionKind document_category(const ParsedMarkdownDocument& document,
                              const std::vector<SectionProfile>& profiles,
                              SupportedLanguage language) {
  std::array<float, 6> weights = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  auto weight = [&weights](SectionKind kind) -> float& {
    return weights[static_cast<std::size_t>(kind)];
  };

  if (document.title) {
    const std::string title = normalize_for_matching(document.title->text);
    for (std::size_t c = 0; c < weights.size(); ++c) {
      if (contains_any(title, keyword_list(static_cast<SectionKind>(c), language))) {
        weights[c] = kTitleWeights[c];
      }
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
