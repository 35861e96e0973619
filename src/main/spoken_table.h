// The spoken table: every utterance handed to the synthesizer and not yet finished, keyed by the
// text form of its utterance id, in queueing order, followed by the utterances still waiting to
// be handed over (the synthesizer gets only a small window at a time). It turns the
// synthesizer's begin, word and end events back into document positions, and it knows how far
// speech got, which is what a pause remembers. Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "language/language.h"
#include "speech/tts.h"

namespace mdspeak {

// Source bytes [start, end) of one word.
struct WordSource {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool operator==(const WordSource&) const = default;
};

// An utterance's text and words, shared by the parts it may be handed over in.
struct SpokenText {
  std::string text;
  // The words of `text` and the source bytes of each (same length).
  std::vector<WordMark> words;
  std::vector<WordSource> sources;
};

struct SpokenUtterance {
  std::string document_id;
  std::uint64_t utterance_index = 0;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
  std::shared_ptr<const SpokenText> content;
  // The words [first_word, end_word) are what the synthesizer got: words before were heard
  // before a pause or in an earlier part; a long utterance is handed over in parts, and
  // `continued` marks a later part (its begin was already reported).
  std::size_t first_word = 0;
  std::size_t end_word = kAllWords;
  bool continued = false;
  // The word being heard, once one has begun.
  std::optional<std::size_t> current_word;
  bool begun = false;
  // Natural reading: spoken by a voice of the utterance's own language, which its begin reports
  // with the voice (null: the synthesizer picked it).
  bool passage = false;
  std::optional<SupportedLanguage> language;
  std::optional<std::string> voice_id;

  static constexpr std::size_t kAllWords = static_cast<std::size_t>(-1);
  const std::string& text() const { return content->text; }
  const std::vector<WordMark>& words() const { return content->words; }
  // More parts of this utterance follow this one.
  bool has_more_parts() const { return end_word < words().size(); }
  // Where the text still to say starts when speech is at word `word` (the whole text for a word
  // past the end); `first_byte` for the first word this part says.
  std::size_t start_of(std::size_t word) const {
    return word < words().size() ? words()[word].begin : 0;
  }
  std::size_t first_byte() const { return start_of(first_word); }
};

class SpokenTable {
 public:
  struct Entry {
    std::string key;
    SpokenUtterance utterance;
  };

  void record(std::string key, SpokenUtterance utterance);
  // Marks the entry begun; null when no entry has `key`.
  const SpokenUtterance* begin(std::string_view key);
  // Word `mark` of what the synthesizer got for the entry began; the word's position in the
  // whole utterance, or nullopt when the entry or the word is unknown.
  std::optional<std::size_t> word(std::string_view key, std::size_t mark);
  // The entry with `key`, or null.
  const SpokenUtterance* find_entry(std::string_view key) const;
  // Removes and returns the entry; nullopt when none has `key`.
  std::optional<SpokenUtterance> end(std::string_view key);
  // Forgets the handed utterances and the waiting ones.
  void clear() {
    entries_.clear();
    waiting_.clear();
  }

  // The utterances to hand over after the current ones, in order (replacing any).
  void set_waiting(std::deque<SpokenUtterance> waiting) { waiting_ = std::move(waiting); }
  std::optional<SpokenUtterance> take_waiting();
  void push_waiting_front(SpokenUtterance utterance) { waiting_.push_front(std::move(utterance)); }
  bool has_waiting() const { return !waiting_.empty(); }

  // Empties the table and returns where speech stands: the utterance being heard (or the first
  // still waiting) as a whole, its first word set to the word being heard, then the ones after
  // it.
  std::vector<SpokenUtterance> take_position();

  bool empty() const { return entries_.empty(); }
  // How many utterances the synthesizer holds, and the `i`th of them in queueing order.
  std::size_t size() const { return entries_.size(); }
  const Entry& handed(std::size_t i) const { return entries_[i]; }

 private:
  std::vector<Entry>::iterator find(std::string_view key);

  std::vector<Entry> entries_;
  std::deque<SpokenUtterance> waiting_;
};

}  // namespace mdspeak
