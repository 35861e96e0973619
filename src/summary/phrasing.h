// Phrasing stage of the summary: the document's subject and one paragraph per chosen section,
// from fixed templates in English or Spanish.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "markdown/markdown.h"
#include "summary/profile.h"

namespace mdspeak {

// "an engineering overview", "a setup and usage guide", ... for Overview..Planning.
std::string_view category_phrase(SectionKind category,
                                 SupportedLanguage language = SupportedLanguage::English);

// What the document is about: its title when telling, else the part of a lead sentence before a
// verb such as " is " or " provides ", or nothing.
std::optional<std::string> find_subject(const ParsedMarkdownDocument& document,
                                        const std::vector<SectionProfile>& profiles,
                                        SupportedLanguage language = SupportedLanguage::English);

// A section's lead sentence as a clause: no trailing ".", "!" or "?", first letter lowered
// when it starts an ordinary word.
std::string section_clause(std::string_view lead_sentence);

// The first paragraph, about the primary section: category, subject, lead and topics.
std::string build_opening_paragraph(const std::vector<SectionProfile>& profiles,
                                    const SectionProfile& primary, SectionKind category,
                                    const std::optional<std::string>& subject,
                                    SupportedLanguage language = SupportedLanguage::English);

// The paragraph for a chosen section other than the primary.
std::string build_section_paragraph(const SectionProfile& profile,
                                    SupportedLanguage language = SupportedLanguage::English);

// The paragraph for kinds without a phrasing of their own.
std::string summarize_general_section(const SectionProfile& profile,
                                      SupportedLanguage language = SupportedLanguage::English);

// At most three items, a label shared by the first ones ("Step:") dropped, each cleaned and
// without trailing full stops. Items cleaned to nothing stay as empty strings.
std::vector<std::string> sample_items(std::span<const std::string_view> items);

// "a", "a and b", "a, b, and c"; in Spanish "a y b", "a, b y c" ("e" before an i sound).
std::string format_series(const std::vector<std::string>& phrases,
                          SupportedLanguage language = SupportedLanguage::English);

// The summary of a document none of whose sections could be profiled: at most one paragraph,
// over the first utterance.
std::vector<Utterance> fallback_summary(const ParsedMarkdownDocument& document,
                                        SupportedLanguage language = SupportedLanguage::English);

// Appends `text` as a cleaned paragraph over [start, max(start, end)); nothing when it is blank.
void push_summary_utterance(std::vector<Utterance>& summary, std::uint64_t start, std::uint64_t end,
                            std::string text);

}  // namespace mdspeak
