#include "speech/words.h"

#include "common/unicode.h"

namespace mdspeak {

std::vector<WordMark> split_words(std::string_view text) {
  std::vector<WordMark> words;
  std::size_t pos = 0;
  std::size_t start = 0;
  bool in_token = false;
  bool has_alnum = false;
  auto close = [&](std::size_t end) {
    if (in_token && has_alnum) words.push_back(WordMark{start, end});
    in_token = false;
    has_alnum = false;
  };
  while (pos < text.size()) {
    const std::size_t at = pos;
    const char32_t cp = unicode::next_code_point(text, pos);
    if (unicode::is_white_space(cp)) {
      close(at);
      continue;
    }
    if (!in_token) {
      in_token = true;
      start = at;
    }
    if (!has_alnum && unicode::is_alphanumeric(cp)) has_alnum = true;
  }
  close(text.size());
  return words;
}

}  // namespace mdspeak
