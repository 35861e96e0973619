// Typographic punctuation for spoken text: `--` and `---` become dashes, `...` an ellipsis, and
// straight quotes become curly ones, paired the way emphasis delimiters are. Applies to normal
// text only; code, HTML, autolinks and character references are never touched.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "markdown/source_map.h"

namespace mdspeak::markdown {

struct QuoteFlanking {
  bool can_open = false;
  bool can_close = false;
};

// Whether the straight quote at `pos` of `source` can open and/or close a pair, judged by the
// characters on either side of it in the source (a line's start counts as white space).
QuoteFlanking quote_flanking(std::string_view source, std::size_t pos);

// Rewrites the runs of text of one block's inline content into an output string. A `'` or `"`
// that can open waits on a stack for a later one of its kind that can close; the pair becomes
// left/right quotes, and openers of either kind that came between are forgotten. A `'` that is
// never paired is an apostrophe; a `"` that is never paired opens when it could have, else closes.
class SmartPunctuation {
 public:
  // Every byte written gets its source in `segments`.
  SmartPunctuation(std::string& out, Segments& segments) : out_(out), segments_(segments) {}

  // A new block's inline content: nothing opened before can be closed any more.
  void reset() {
    singles_.clear();
    doubles_.clear();
  }

  // Quotes opened inside an inline span cannot be closed after it: take a mark when the span
  // opens and drop back to it when the span closes.
  std::size_t mark() const { return next_; }
  void drop_to(std::size_t mark) {
    drop_from(singles_, mark);
    drop_from(doubles_, mark);
  }

  // Appends `source[pos, pos + length)` with its punctuation rewritten. `first_escaped` says the
  // first character was escaped with a backslash and stays as written. When `write` is false the
  // text is only followed for pairing (text that is not spoken still pairs quotes).
  void append(std::string_view source, std::size_t pos, std::size_t length, bool first_escaped,
              bool write = true);

 private:
  struct Opener {
    std::size_t order;  // openers of both kinds are numbered in the order they came
    std::size_t at;     // where its character was written in the output, or npos
  };

  static void drop_from(std::vector<Opener>& openers, std::size_t order) {
    while (!openers.empty() && openers.back().order >= order) openers.pop_back();
  }

  void quote(std::string_view source, std::size_t pos, bool write);

  std::string& out_;
  Segments& segments_;
  // One stack per kind, so that a closer finds its partner at once however many openers of the
  // other kind wait; pairing drops the other kind's openers that came after the partner. Each
  // opener is pushed and popped once: pairing takes linear time.
  std::vector<Opener> singles_;
  std::vector<Opener> doubles_;
  std::size_t next_ = 0;
};

// Appends `count` hyphens as dashes: all em dashes when `count` is a multiple of 3, else all en
// dashes when it is even, else em dashes followed by one or two en dashes.
void append_dashes(std::string& out, std::size_t count);

}  // namespace mdspeak::markdown
