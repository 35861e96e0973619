// What the natural reading adds to finalisation: cuts where a listener hears a sentence end, and
// the spoken names of code blocks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mdspeak::markdown {

// Whether the `.` at `dot` of `text` ends an abbreviation (e.g., Dr., núm., EE. UU., an initial)
// rather than a sentence.
bool ends_abbreviation(std::string_view text, std::size_t dot);

// `text` (normalised: single spaces, none at either end) cut after each `.`, `!`, `?`, `;` or `:`
// that is followed by a space or ends the text, is not the dot of an abbreviation, is `heard`
// (when given: asked with the mark's position) and closes a piece of at least `min_bytes`.
// Pieces are trimmed views into `text`.
std::vector<std::string_view> cut_sentences(
    std::string_view text, std::size_t min_bytes,
    const std::function<bool(std::size_t)>& heard = nullptr);

// Whether the mark at `mark` of `source` is heard as an end: white space or the end follows it,
// possibly after the closing marks of emphasis, code, quotes, brackets and a link's destination
// or label. A mark inside inline code or a word is not.
bool heard_as_end(std::string_view source, std::size_t mark);

// `text` cut after each comma followed by a space; the commas stay with their pieces.
std::vector<std::string_view> cut_after_commas(std::string_view text);

// The display name of the language an info string names ("sh" gives "Shell", "python" gives
// "Python"), or empty when it names none.
std::string code_language_name(std::string_view info);

}  // namespace mdspeak::markdown
