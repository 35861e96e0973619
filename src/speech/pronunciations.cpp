#include "speech/pronunciations.h"

#include <algorithm>

#include "common/unicode.h"

namespace mdspeak {
namespace {

bool alphanumeric_at(std::string_view text, std::size_t pos) {
  return pos < text.size() && unicode::is_alphanumeric(unicode::next_code_point(text, pos));
}

// Whether the character that ends at `pos` is a letter or digit.
bool alphanumeric_before(std::string_view text, std::size_t pos) {
  if (pos == 0) return false;
  std::size_t start = pos - 1;
  // Back to the lead byte of the character (at most three continuation bytes).
  while (start > 0 && pos - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  return alphanumeric_at(text, start);
}

std::string lowered(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) out += unicode::full_lowercase(unicode::next_code_point(text, pos));
  return out;
}

// End of the run of letters and digits starting at `pos`.
std::size_t run_end(std::string_view text, std::size_t pos) {
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!unicode::is_alphanumeric(unicode::next_code_point(text, next))) break;
    pos = next;
  }
  return pos;
}

// Where `pattern` ends in `text` when it stands at `at`, comparing lower-cased characters
// unless `exact`; nothing when it does not.
std::optional<std::size_t> match_at(std::string_view text, std::size_t at, std::string_view pattern,
                                    bool exact) {
  if (exact) {
    if (text.substr(at).starts_with(pattern)) return at + pattern.size();
    return std::nullopt;
  }
  std::size_t t = at;
  std::size_t p = 0;
  while (p < pattern.size()) {
    if (t >= text.size()) return std::nullopt;
    const char32_t want = unicode::next_code_point(pattern, p);
    const char32_t have = unicode::next_code_point(text, t);
    if (want != have && unicode::full_lowercase(want) != unicode::full_lowercase(have)) {
      return std::nullopt;
    }
  }
  return t;
}

}  // namespace

Result<PronunciationList> PronunciationList::make(std::span<const PronunciationEntry> entries) {
  if (entries.size() > kMaxEntries) {
    return fail(Error("more than " + std::to_string(kMaxEntries) + " entries"));
  }
  PronunciationList list;
  list.entries_.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PronunciationEntry& given = entries[i];
    const std::string where = "entry " + std::to_string(i + 1) + ": ";
    if (given.text.empty()) return fail(Error(where + "text is empty"));
    if (given.text.size() > kMaxTextBytes) {
      return fail(Error(where + "text is longer than " + std::to_string(kMaxTextBytes) + " bytes"));
    }
    Entry entry;
    if (given.language) {
      if (*given.language == "en") {
        entry.language = SupportedLanguage::English;
      } else if (*given.language == "es") {
        entry.language = SupportedLanguage::Spanish;
      } else {
        return fail(Error(where + "language must be \"en\", \"es\" or null"));
      }
    }
    std::size_t pos = 0;
    while (pos < given.text.size() && !alphanumeric_at(given.text, pos)) {
      unicode::next_code_point(given.text, pos);
    }
    if (pos >= given.text.size()) return fail(Error(where + "text has no letter or digit"));
    entry.lead = pos;
    entry.text = given.text;
    entry.say = given.say;
    for (std::size_t c = 0; c < given.text.size();) {
      if (unicode::is_uppercase(unicode::next_code_point(given.text, c))) entry.exact_case = true;
    }
    const std::string key = lowered(given.text.substr(pos, run_end(given.text, pos) - pos));
    list.by_first_word_[key].push_back(list.entries_.size());
    list.entries_.push_back(std::move(entry));
  }
  for (auto& [key, indexes] : list.by_first_word_) {
    // Longest first; at one length an entry for one case before one for any case.
    std::stable_sort(indexes.begin(), indexes.end(), [&](std::size_t a, std::size_t b) {
      const Entry& x = list.entries_[a];
      const Entry& y = list.entries_[b];
      if (x.text.size() != y.text.size()) return x.text.size() > y.text.size();
      return x.exact_case && !y.exact_case;
    });
  }
  return list;
}

std::vector<PronunciationList::Match> PronunciationList::matches(
    std::string_view text, std::optional<SupportedLanguage> language) const {
  std::vector<Match> matches;
  std::size_t pos = 0;
  std::size_t matched_to = 0;  // matches never overlap
  while (pos < text.size()) {
    if (!alphanumeric_at(text, pos)) {
      unicode::next_code_point(text, pos);
      continue;
    }
    const std::size_t end = run_end(text, pos);
    const auto found = by_first_word_.find(lowered(text.substr(pos, end - pos)));
    std::size_t next = end;
    if (found != by_first_word_.end()) {
      for (std::size_t index : found->second) {
        const Entry& entry = entries_[index];
        if (entry.language && language && *entry.language != *language) continue;
        if (entry.lead > pos || pos - entry.lead < matched_to) continue;
        const std::size_t begin = pos - entry.lead;
        if (alphanumeric_before(text, begin)) continue;
        const auto stop = match_at(text, begin, entry.text, entry.exact_case);
        if (!stop || alphanumeric_at(text, *stop)) continue;
        matches.push_back({begin, *stop, &entry.say});
        matched_to = *stop;
        next = std::max(next, *stop);
        break;
      }
    }
    pos = next;
  }
  return matches;
}

std::optional<PronunciationList::Spoken> PronunciationList::apply(
    std::string_view text, std::span<const WordMark> marks,
    std::optional<SupportedLanguage> language) const {
  if (entries_.empty()) return std::nullopt;
  const std::vector<Match> matches = this->matches(text, language);
  if (matches.empty()) return std::nullopt;

  Spoken spoken;
  spoken.text.reserve(text.size() + 16 * matches.size());
  // Where each matched range starts and ends in the spoken text.
  std::vector<std::pair<std::size_t, std::size_t>> placed;
  placed.reserve(matches.size());
  std::size_t copied = 0;
  for (const Match& m : matches) {
    spoken.text.append(text.substr(copied, m.begin - copied));
    const std::size_t at = spoken.text.size();
    spoken.text.append(*m.say);
    placed.emplace_back(at, spoken.text.size());
    copied = m.end;
  }
  spoken.text.append(text.substr(copied));

  // A position outside every match moves with the text around it; one inside a match goes to
  // the end of what replaces it, so the first word of a match covers all of it and the words
  // after it inside the match mark its end.
  std::size_t k = 0;  // the first match not wholly before the position
  const auto moved = [&](std::size_t p) {
    while (k < matches.size() && matches[k].end <= p && matches[k].begin < p) ++k;
    // `k` only moves forward: marks come in text order and never overlap.
    std::size_t shift_from = 0;
    std::size_t shift_to = 0;
    if (k > 0) {
      shift_from = matches[k - 1].end;
      shift_to = placed[k - 1].second;
    }
    if (k < matches.size() && p > matches[k].begin && p < matches[k].end) return placed[k].second;
    return p - shift_from + shift_to;
  };
  spoken.marks.reserve(marks.size());
  for (const WordMark& mark : marks) {
    if (mark.begin > mark.end || mark.end > text.size()) {
      spoken.marks.push_back(mark);  // not a range of this text: left for the backend to skip
      continue;
    }
    const std::size_t begin = moved(mark.begin);
    const std::size_t end = moved(mark.end);
    spoken.marks.push_back(WordMark{begin, std::max(begin, end)});
  }
  return spoken;
}

}  // namespace mdspeak
