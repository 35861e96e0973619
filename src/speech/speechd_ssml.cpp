// SSML for speech-dispatcher: an utterance text with an index mark before every word, so that the
// daemon's INDEX_MARK notifications say when each word is heard.
#include <string>
#include <vector>

#include "speech/speechd_ssip.h"

namespace mdspeak::speechd {

namespace {

// The word ends a sentence: its trailing punctuation holds . ! ? or an ellipsis.
bool ends_sentence(std::string_view word) {
  for (std::size_t i = word.size(); i > 0; --i) {
    const char c = word[i - 1];
    if (c == '.' || c == '!' || c == '?') return true;
    if (word.substr(0, i).ends_with("\u2026")) return true;
    const bool closing =
        c == '"' || c == '\'' || c == ')' || c == ']' || static_cast<unsigned char>(c) >= 0x80;
    if (!closing) return false;
  }
  return false;
}

}  // namespace

std::string ssml(std::string_view text, std::span<const WordMark> words) {
  std::string out;
  out.reserve(text.size() + text.size() / 2 + 32);
  out += "<speak>";
  auto escape = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const char c = text[i];
      switch (c) {
        case '&':
          out += "&amp;";
          break;
        case '<':
          out += "&lt;";
          break;
        case '>':
          out += "&gt;";
          break;
        case '"':
          out += "&quot;";
          break;
        case '\'':
          out += "&apos;";
          break;
        default:
          // XML 1.0 has no place for other control characters.
          if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out += ' ';
          } else {
            out += c;
          }
      }
    }
  };
  // espeak-ng loses (or misplaces) a mark that opens a sentence after a full stop, unless the
  // sentence before it is marked up as one: every run of words up to one ending in . ! ? or an
  // ellipsis that has words after it becomes an <s> element. The last sentence stays bare, as
  // wrapping it would lengthen the pause before the next utterance (about 40 ms measured).
  const std::size_t n = words.size();
  std::vector<bool> valid(n, false);
  std::vector<bool> ends(n, false);
  std::size_t last_valid = n;
  for (std::size_t i = 0, end = 0; i < n; ++i) {
    const WordMark& word = words[i];
    valid[i] = word.begin >= end && word.end <= text.size() && word.begin <= word.end;
    if (!valid[i]) continue;
    end = word.end;
    last_valid = i;
    ends[i] = ends_sentence(text.substr(word.begin, word.end - word.begin));
  }
  // next_end[i]: the first sentence-ending word at or after i (n when none).
  std::vector<std::size_t> next_end(n + 1, n);
  for (std::size_t i = n; i > 0; --i) next_end[i - 1] = ends[i - 1] ? i - 1 : next_end[i];

  std::size_t done = 0;
  bool in_sentence = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!valid[i]) continue;
    const WordMark& word = words[i];
    escape(done, word.begin);
    if (!in_sentence && next_end[i] < last_valid) {
      out += "<s>";
      in_sentence = true;
    }
    out += "<mark name=\"";
    out += std::to_string(i);
    out += "\"/>";
    escape(word.begin, word.end);
    done = word.end;
    if (in_sentence && ends[i]) {
      out += "</s>";
      in_sentence = false;
    }
  }
  escape(done, text.size());
  out += "</speak>";
  return out;
}

std::optional<std::size_t> mark_word(std::string_view name) {
  if (name.empty() || name.size() > 18) return std::nullopt;
  std::size_t value = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  return value;
}

}  // namespace mdspeak::speechd
