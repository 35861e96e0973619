// The user's pronunciation list: words the synthesizer says wrongly ("nginx", "kubectl") and
// what it is to say instead ("engine x").
//
// Only what the synthesizer receives changes: `apply` rewrites an utterance text and moves its
// word marks onto the rewritten text, one mark per source word as before, so that word events
// still name the source words and their ranges. Matching is by whole words: an entry matches
// where its text stands with no letter or digit right before or after it; an entry with a
// capital matches with that case only, others in any case ("guía" matches "GUÍA"); where several
// entries start at one place, the longest wins (and, at one length, the one with capitals). Looking
// up a word costs one hash lookup, so a list of ten thousand entries reads as fast as a short one.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/error.h"
#include "language/language.h"
#include "protocol/protocol.h"
#include "speech/tts.h"

namespace mdspeak {

class PronunciationList {
 public:
  static constexpr std::size_t kMaxEntries = 10'000;
  static constexpr std::size_t kMaxTextBytes = 200;

  // The list of `entries`, or what is wrong with the first bad one ("entry 3: text is empty").
  static Result<PronunciationList> make(std::span<const PronunciationEntry> entries);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // What the synthesizer is to receive for `text` whose words are `marks`, for speech in
  // `language` (entries of the other language are left out; with no language, every entry
  // counts); nothing when no entry matches. The marks come back in the same number and order.
  struct Spoken {
    std::string text;
    std::vector<WordMark> marks;
  };
  std::optional<Spoken> apply(std::string_view text, std::span<const WordMark> marks,
                              std::optional<SupportedLanguage> language) const;

 private:
  struct Entry {
    std::string text;
    std::string say;
    std::optional<SupportedLanguage> language;
    std::size_t lead = 0;  // bytes of `text` before its first letter or digit
    bool exact_case = false;
  };
  // A piece of a text that an entry replaces with `say`.
  struct Match {
    std::size_t begin;
    std::size_t end;
    const std::string* say;
  };
  // The pieces of `text` the entries replace, in text order, never overlapping.
  std::vector<Match> matches(std::string_view text,
                             std::optional<SupportedLanguage> language) const;

  std::vector<Entry> entries_;
  // By the lower-cased first word of the text: entries, longest text first.
  std::unordered_map<std::string, std::vector<std::size_t>> by_first_word_;
};

}  // namespace mdspeak
