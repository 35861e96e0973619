// Markdown reading: source text in, speakable utterances with exact source byte ranges out.
//
// `parse_markdown_document` runs a CommonMark parser (md4c, with tables, strikethrough and task
// lists) over the source, gathers the plain text of every heading, paragraph, list item, block
// quote and table row, cleans it, cuts long text into several utterances and groups the result
// into heading-delimited sections. Code, images, HTML and front matter are never spoken.
//
// Everything here is a pure function of its input and cannot fail; it is safe to call from any
// thread. A large document is read with the help of a second thread, started and joined within
// the call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "language/language.h"

namespace mdspeak {

namespace markdown {
class SourceMapBuilder;
}

using SourceSpan = std::pair<std::uint64_t, std::uint64_t>;

// `CodeBlock` (the announcement of a code block) is made by the natural reading only.
enum class UtteranceKind : std::uint8_t {
  Heading,
  Paragraph,
  Item,
  BlockQuote,
  TableRow,
  CodeBlock
};

// How a document is read aloud. `Plain` is the reading every client gets unless it asks: a
// container's text after the blocks nested in it, a block's sentences sharing its range, code and
// images silent. `Natural` reads in source order, gives each sentence its own range, cuts only
// where a listener hears a sentence end, keeps the source's spacing around inline code, announces
// code blocks and images with alt text, and reads table cells with their headers.
enum class ReadingMode : std::uint8_t { Plain, Natural };

// What a task item's text starts with, for an open and a done task (then a space and the text).
inline constexpr std::string_view kTodoPrefix = "To do:";
inline constexpr std::string_view kDonePrefix = "Done:";
// The same in Spanish text (natural reading).
inline constexpr std::string_view kSpanishTodoPrefix = "Pendiente:";
inline constexpr std::string_view kSpanishDonePrefix = "Hecho:";

// The prefix of an open or a done task item whose text is in `language` (English when unknown).
constexpr std::string_view task_prefix(bool done, std::optional<SupportedLanguage> language) {
  if (language == SupportedLanguage::Spanish) return done ? kSpanishDonePrefix : kSpanishTodoPrefix;
  return done ? kDonePrefix : kTodoPrefix;
}

// One speakable unit. `text` is never empty and has no leading, trailing or doubled white space.
// Offsets are byte offsets into the source as given; the range is half-open.
struct Utterance {
  std::string text;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
  UtteranceKind kind = UtteranceKind::Paragraph;

  bool operator==(const Utterance&) const = default;
};

// The utterances between one heading and the next, seen in place in a list of utterances (no
// copies: documents run to many thousands). Only the first section may lack a heading.
struct MarkdownSection {
  const Utterance* heading = nullptr;     // none for a first section without heading
  std::span<const Utterance> utterances;  // the section's non-heading utterances
};

// Maps byte ranges of utterance texts back to the source bytes that produced them.
//
// Stored compactly (a few bytes per run of copied or rewritten text); a lookup decodes the one
// utterance it is about.
class TextSourceMap {
 public:
  // Source range that produced bytes [text_start, text_end) of the text of utterance
  // `utterance_index` (index into ParsedMarkdownDocument::utterances); the utterance's own
  // range when nothing finer is known. Bytes of a rewritten character (a curly quote from `'`,
  // `&` from `&amp;`) map to all the source bytes that gave it; the words of a task prefix map to
  // the item's `[ ]` or `[x]` marker. An index past the last utterance gives {0, 0}.
  SourceSpan source_range(std::size_t utterance_index, std::size_t text_start,
                          std::size_t text_end) const;

  std::size_t size() const { return offsets_.size(); }
  // The first `old_length` bytes of the text of utterance `utterance_index` were replaced by
  // `new_length` bytes from the same source (a task prefix worded in another language): its
  // first piece, when it is exactly those bytes, now covers the new ones, and the rest follows.
  void reword_prefix(std::size_t utterance_index, std::size_t old_length, std::size_t new_length);
  // Heap bytes held by the map.
  std::size_t memory_bytes() const {
    return bytes_.capacity() + offsets_.capacity() * sizeof(std::size_t);
  }

 private:
  friend class markdown::SourceMapBuilder;
  // Per utterance: its range, then its segments, as variable-length numbers.
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> offsets_;  // where each utterance's entry starts in `bytes_`
};

struct ParsedMarkdownDocument {
  std::vector<Utterance> utterances;  // emission order, headings included
  // Where each section starts in `utterances`: at its heading, or at 0 for a first section
  // without one. Sections are read through `section`.
  std::vector<std::size_t> section_starts;
  std::optional<Utterance> title;  // the first heading, whatever its level
  TextSourceMap source_map;        // word-level ranges for `utterances`
  // Natural reading: the code blocks announced, so that the announcements can be worded in the
  // document's language once it is known.
  struct CodeBlockNote {
    std::size_t utterance = 0;  // index in `utterances`
    std::size_t lines = 0;
    std::string language;  // display name from the info string ("Shell"), or empty
  };
  std::vector<CodeBlockNote> code_blocks;
  // Natural reading: where each block (a heading, paragraph, list item's text, block quote,
  // table row, code block) starts in `utterances`, in order; a block's sentences follow its
  // start. Empty for the plain reading.
  std::vector<std::size_t> block_starts;
  // Natural reading: the task items, so that their prefixes can be worded in the language of
  // their text once it is known.
  struct TaskItemNote {
    std::size_t utterance = 0;  // index in `utterances` of the item's first utterance
    bool done = false;
  };
  std::vector<TaskItemNote> task_items;
  // The level (1 to 6) of each heading utterance, in order; empty for a document made
  // `from_utterances`.
  std::vector<std::uint8_t> heading_levels;

  std::size_t section_count() const { return section_starts.size(); }
  // Section `index` (< section_count()), valid while `utterances` is not changed.
  MarkdownSection section(std::size_t index) const;

  // Builds sections and title around a finished utterance list (kept unchanged); the source
  // map knows only each utterance's own range.
  static ParsedMarkdownDocument from_utterances(std::vector<Utterance> utterances);
};

// Reads any Markdown source; the empty source gives an empty document.
ParsedMarkdownDocument parse_markdown_document(std::string_view source,
                                               ReadingMode mode = ReadingMode::Plain);

// Shown the utterances of a document being read as they are made (each once, in order, texts
// final), on the reading thread, so that work on them can start before the reading ends.
using UtteranceWatcher = std::function<void(std::span<const Utterance>)>;

// The same document, read in the source's own buffer instead of a copy of it: for huge texts
// whose caller has no further use for them. The buffer is left holding what was read (the text
// with additions), for the caller to free when it suits.
ParsedMarkdownDocument parse_markdown_document_in_place(std::string& source,
                                                        const UtteranceWatcher& watcher = {},
                                                        ReadingMode mode = ReadingMode::Plain);

// Words the code block announcements of a natural reading in Spanish instead of English.
void announce_code_blocks_in_spanish(ParsedMarkdownDocument& document);

// Words the task prefixes of a natural reading by `task_prefix` for the language of the item's
// utterance in `passages` (one per utterance), else for `language`; the prefix words keep mapping
// to the item's box.
void word_task_prefixes(ParsedMarkdownDocument& document, std::optional<SupportedLanguage> language,
                        std::span<const std::optional<SupportedLanguage>> passages = {});

// The announcement of a code block of `lines` lines whose info string names `language` (a
// display name, or empty).
std::string code_block_announcement(std::string_view language, std::size_t lines, bool spanish);

// Runs of white space become one space; none is left at either end.
std::string normalize_whitespace(std::string_view text);

}  // namespace mdspeak
