// Analysis stage of the summary: one profile per section, the document's category and the
// sections the summary talks about, in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "language/language.h"
#include "markdown/markdown.h"

namespace mdspeak {

// The first six kinds double as document categories.
enum class SectionKind : std::uint8_t {
  Overview,
  Setup,
  Reference,
  Runbook,
  Status,
  Planning,
  Caveat,
  General,
};

// The item lists view the texts of the section's utterances: a profile lives no longer than the
// document it was made from.
struct SectionProfile {
  std::string topic;
  std::vector<std::string_view> items;            // trimmed list-item texts
  std::vector<std::string_view> completed_items;  // "Done:" items, prefix removed
  std::vector<std::string_view> remaining_items;  // "To do:" items, prefix removed
  std::optional<std::string> heading;             // trimmed heading text
  std::optional<std::string> lead_sentence;
  std::size_t index = 0;  // position in the document's sections
  std::size_t start_offset = 0;
  std::size_t end_offset = 0;
  float primary_score = 0.0f;
  float secondary_score = 0.0f;
  float tertiary_score = 0.0f;
  bool generic_heading = false;
  SectionKind kind = SectionKind::General;
};

// Profile of one section, or nothing for a section without heading whose utterances are blank.
// A Spanish profile is made with the Spanish keywords, generic headings and task prefixes.
std::optional<SectionProfile> profile_section(
    std::size_t index, const MarkdownSection& section,
    SupportedLanguage language = SupportedLanguage::English);

// Profiles of every section that yields one, in section order.
std::vector<SectionProfile> profile_sections(
    const ParsedMarkdownDocument& document,
    SupportedLanguage language = SupportedLanguage::English);

// One of Overview..Planning, from the title's keywords and the profiles' kinds and task items.
SectionKind document_category(const ParsedMarkdownDocument& document,
                              const std::vector<SectionProfile>& profiles,
                              SupportedLanguage language = SupportedLanguage::English);

struct SectionChoice {
  std::size_t primary = 0;  // positions in the profile list
  std::optional<std::size_t> secondary;
  std::optional<std::size_t> tertiary;
  std::size_t paragraph_budget = 1;
  // Profile positions in paragraph order: the primary, then the others the budget admits.
  std::vector<std::size_t> order;
};

// `profiles` must not be empty; `utterance_count` counts every utterance, headings included.
SectionChoice choose_sections(const std::vector<SectionProfile>& profiles,
                              std::size_t utterance_count);

}  // namespace mdspeak
