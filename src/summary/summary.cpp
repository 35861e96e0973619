#include "summary/summary.h"

#include "summary/phrasing.h"
#include "summary/profile.h"

namespace mdspeak {

std::vector<Utterance> summarize_document(const ParsedMarkdownDocument& document,
                                          SupportedLanguage language) {
  if (document.utterances.empty()) return {};
  const std::vector<SectionProfile> profiles = profile_sections(document, language);
  if (profiles.empty()) return fallback_summary(document, language);

  const SectionKind category = document_category(document, profiles, language);
  const std::optional<std::string> subject = find_subject(document, profiles, language);
  const SectionChoice choice = choose_sections(profiles, document.utterances.size());

  std::vector<Utterance> summary;
  for (std::size_t n = 0; n < choice.order.size(); ++n) {
    const SectionProfile& profile = profiles[choice.order[n]];
    std::string text = n == 0
                           ? build_opening_paragraph(profiles, profile, category, subject, language)
                           : build_section_paragraph(profile, language);
    push_summary_utterance(summary, profile.start_offset, profile.end_offset, std::move(text));
  }
  if (summary.empty()) return fallback_summary(document, language);
  return summary;
}

}  // namespace mdspeak
