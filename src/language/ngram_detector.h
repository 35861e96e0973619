// The statistical part of language detection: an n-gram scorer over two ranked profiles in the
// format of libexttextcat (one "n-gram<TAB>count" per line, most frequent first).
//
// A text is cut into words at everything that is not a letter or a combining mark (white space,
// digits, punctuation, symbols); each word is padded as "_word_" and every run of 1 to 5 code
// points inside the padded word is an n-gram. A language scores the sum over all n-grams of
// log(count / total) from its profile, an n-gram missing from the profile counting as half the
// profile's smallest count. The higher score wins; equal scores answer nothing. Case is kept, as
// the profiles were built from cased text.
//
// Tokens (runs between white space) that read as code are left out: those starting with "-", "%"
// or a quote, ending with a quote, holding one of /=<>{}[]|\_@$%#` or a dot between word
// characters. Translated technical text keeps options, placeholders and identifiers in English;
// scoring them pulled Spanish towards English. A text made of nothing else is scored whole.
//
// Before scoring counts, the letters are tallied by Unicode script: unless Latin is strictly the
// most frequent script, the answer is nothing, so Cyrillic or Chinese text is never called
// English or Spanish.
//
// The scan is one pass over the text and allocates nothing; a detector is immutable after
// construction and may be shared by any number of threads. Most tokens are short plain ASCII
// prose: they are found several at a time from bit masks, and their words queued and scored in
// long runs, which spares the mispredicted branch that ends every word read letter by letter.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "language/language.h"

namespace mdspeak::language_detail {

struct ProfileEntry {
  std::u32string ngram;
  std::uint64_t count = 0;
};

// Lines that are not "n-gram<TAB>count" (blanks around the count allowed) are skipped; so is a
// repeated n-gram after its first line.
std::vector<ProfileEntry> parse_profile(std::string_view text);

// The libexttextcat profile of `language`, copied into the program at build time.
std::string_view embedded_profile(SupportedLanguage language);

class NgramDetector {
 public:
  NgramDetector(const std::vector<ProfileEntry>& english, const std::vector<ProfileEntry>& spanish);

  // English, Spanish or nothing; applies the script rule but no minimum length.
  std::optional<SupportedLanguage> classify(std::string_view text) const;
  // The same for the pieces joined by single spaces, without joining them.
  std::optional<SupportedLanguage> classify(std::span<const std::string_view> pieces) const;

  // English score minus Spanish score that `classify` decides on, in natural-log units (rounded
  // to about 1e-6 per n-gram).
  double english_margin(std::string_view text) const;

 private:
  struct CharClass {
    std::uint8_t symbol = 0;  // 0: a character no profile n-gram contains
    std::uint8_t flags = 0;
    std::uint16_t script = 0;  // slot in the per-script letter tally
  };
  struct Tally {
    std::int64_t margin = 0;
    std::array<std::uint64_t, 256> letters_by_script{};

    Tally& operator+=(const Tally& other);
    bool operator==(const Tally&) const = default;
  };

 public:
  // What `classify` rests on, gathered from the pieces of a text in any split, in any order and
  // on any threads, then added up: whole numbers, so the sum is exact.
  class Evidence {
   public:
    Evidence& operator+=(const Evidence& other) {
      prose_ += other.prose_;
      code_ += other.code_;
      return *this;
    }
    bool operator==(const Evidence&) const = default;

   private:
    friend class NgramDetector;
    Tally prose_;
    Tally code_;
  };

  // Adds what the pieces (as if joined by single spaces) tell to `into`.
  void gather(std::span<const std::string_view> pieces, Evidence& into) const;
  // `classify` of all the pieces whose evidence was added up.
  std::optional<SupportedLanguage> classify(const Evidence& evidence) const;

 private:
  // Letters of the words of plain prose tokens, each word as pad, letters, pad and a reset, for
  // long automaton runs. The words are dealt to four lanes in turn: a lane's run is one chain of
  // dependent lookups, and four advance together.
  static constexpr std::size_t kLanes = 4;
  static constexpr std::size_t kLaneDrain = 1024;
  struct WordQueue {
    std::size_t next_lane = 0;
    std::array<std::size_t, kLanes> size{};
    std::array<std::array<unsigned char, kLaneDrain + 64>, kLanes> lanes;  // room for a word
  };

  CharClass char_class(char32_t cp) const;
  std::uint8_t symbol_of(char32_t cp) const;
  std::uint8_t add_symbol(char32_t cp);
  // False when the profiles need more states than a table entry can name.
  bool build_automaton(const std::map<std::uint64_t, double>& gains);
  struct TokenState;  // the token `scan` is reading
  // Adds the n-gram margin and letters of the words in `text`: those of prose tokens to `prose`,
  // those of code-like ones to `code`.
  void scan(std::string_view text, Tally& prose, Tally& code, WordQueue& queue) const;
  // Reads the tokens that start `text` (of `size` bytes, not at white space) while they are
  // short, ASCII and plain prose, with the white space after them: adds them to `prose`, queues
  // their words, and returns how many bytes that took.
  std::size_t plain_prose_tokens(const unsigned char* text, std::size_t size, Tally& prose,
                                 WordQueue& queue) const;
  // Scores the queued words into `prose` and empties the queue.
  void drain(WordQueue& queue, Tally& prose) const;
  // What the answer rests on: the prose tokens, or every token when none is prose.
  static Tally decisive(const Evidence& evidence);

  bool usable_ = false;
  std::uint8_t pad_symbol_ = 0;
  std::int64_t absent_margin_ = 0;      // English minus Spanish for an n-gram in neither profile
  std::array<CharClass, 0x800> low_{};  // code points below U+0800, decided once
  std::array<std::uint8_t, 256> queued_symbols_{};               // by byte of a `WordQueue`
  std::vector<std::pair<char32_t, std::uint8_t>> high_symbols_;  // sorted by code point
  std::uint8_t next_symbol_ = 1;
  // An Aho-Corasick automaton over the profile n-grams: state × symbol → state, where a state is
  // the longest n-gram prefix ending the text read so far; a state's gain is the summed margin,
  // over an n-gram absent from both profiles, of every profile n-gram ending there.
  std::size_t symbol_count_ = 0;  // a power of two
  int symbol_shift_ = 0;
  std::vector<std::uint16_t> next_;
  std::vector<std::int64_t> gains_;
};

// The process-wide detector over the embedded profiles, built on first use (thread-safe).
const NgramDetector& shared_detector();

}  // namespace mdspeak::language_detail
