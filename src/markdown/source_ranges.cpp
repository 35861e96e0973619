#include "markdown/source_ranges.h"

#include <algorithm>
#include <cstring>

namespace mdspeak::markdown {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_line_end(char c) {
  return c == '\n' || c == '\r';
}

// Length of the line end at `pos` (0 when there is none).
std::size_t line_end_length(std::string_view s, std::size_t pos) {
  if (pos >= s.size()) return 0;
  if (s[pos] == '\r') return pos + 1 < s.size() && s[pos + 1] == '\n' ? 2 : 1;
  return s[pos] == '\n' ? 1 : 0;
}

// Position of the first line end at or after `pos`, or the source size.
std::size_t find_line_end(std::string_view s, std::size_t pos) {
  while (pos < s.size() && !is_line_end(s[pos])) ++pos;
  return pos;
}

// Start of the line holding `pos`.
std::size_t line_start(std::string_view s, std::size_t pos) {
  const std::size_t first = byte_order_mark_length(s);
  while (pos > first && !is_line_end(s[pos - 1])) --pos;
  return pos;
}

// What stands between a code fence and its content: white space and block-quote markers.
bool is_fence_gap(char c) {
  return is_blank(c) || is_line_end(c) || c == '>';
}

std::size_t backtick_run(std::string_view s, std::size_t pos) {
  std::size_t end = pos;
  while (end < s.size() && s[end] == '`') ++end;
  return end - pos;
}

}  // namespace

std::size_t byte_order_mark_length(std::string_view source) {
  return source.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

std::size_t unread_prefix_length(std::string_view source) {
  const std::size_t mark = byte_order_mark_length(source);
  return mark + front_matter_length(source.substr(mark));
}

std::size_t front_matter_length(std::string_view source) {
  if (source.size() < 3) return 0;
  const std::string_view fence = source.substr(0, 3);
  std::string_view closers[2];
  if (fence == "---") {
    closers[0] = "---";
    closers[1] = "...";
  } else if (fence == "+++") {
    closers[0] = closers[1] = "+++";
  } else {
    return 0;
  }
  // The rest of the opening line must be blank.
  std::size_t pos = 3;
  while (pos < source.size() && is_blank(source[pos])) ++pos;
  std::size_t eol = line_end_length(source, pos);
  if (eol == 0) return 0;
  pos += eol;
  // Then a line that is not blank: `---` over a blank line is a thematic break.
  std::size_t probe = pos;
  while (probe < source.size() && is_blank(source[probe])) ++probe;
  if (probe >= source.size() || is_line_end(source[probe])) return 0;
  while (pos < source.size()) {
    std::size_t end = find_line_end(source, pos);
    std::size_t content_end = end;
    while (content_end > pos && is_blank(source[content_end - 1])) --content_end;
    std::string_view line = source.substr(pos, content_end - pos);
    if (line == closers[0] || line == closers[1]) return end + line_end_length(source, end);
    pos = end + line_end_length(source, end);
  }
  return 0;
}

SourceSpan code_span_range(std::string_view source, std::size_t content_start,
                           std::size_t content_end) {
  std::size_t start = content_start;
  std::size_t probe = content_start;
  while (probe > 0 && is_fence_gap(source[probe - 1])) --probe;
  if (probe > 0 && source[probe - 1] == '`') {
    start = probe - 1;
    while (start > 0 && source[start - 1] == '`') --start;
  }
  std::size_t end = content_end;
  probe = content_end;
  while (probe < source.size() && is_fence_gap(source[probe])) ++probe;
  if (probe < source.size() && source[probe] == '`') end = probe + backtick_run(source, probe);
  return {start, end};
}

std::optional<SourceSpan> empty_code_span_range(std::string_view source, std::size_t from) {
  if (from >= source.size()) return std::nullopt;
  const void* hit = std::memchr(source.data() + from, '`', source.size() - from);
  if (hit == nullptr) return std::nullopt;
  std::size_t start = static_cast<const char*>(hit) - source.data();
  std::size_t length = backtick_run(source, start);
  std::size_t probe = start + length;
  while (probe < source.size() && is_fence_gap(source[probe])) ++probe;
  if (backtick_run(source, probe) != length) return std::nullopt;
  return SourceSpan{start, probe + length};
}

SourceSpan break_range(std::string_view source, std::size_t after,
                       std::optional<std::size_t> next_content, bool hard) {
  after = std::min(after, source.size());
  std::size_t begin = source.size();
  std::size_t end = source.size();
  bool found = false;
  if (next_content && *next_content <= source.size() && *next_content > after) {
    for (std::size_t j = *next_content; j > after; --j) {
      char c = source[j - 1];
      if (c == '\n') {
        begin = (j - 1 > after && source[j - 2] == '\r') ? j - 2 : j - 1;
        end = j;
        found = true;
        break;
      }
      if (c == '\r') {
        begin = j - 1;
        end = j;
        found = true;
        break;
      }
    }
  }
  if (!found) {
    begin = find_line_end(source, after);
    if (begin == source.size()) return {after, after};
    end = begin + line_end_length(source, begin);
  }
  // The spaces that make a hard break belong to it, and so does its backslash; a soft break is
  // its line end alone (the spaces before it are nobody's).
  if (!hard) return {begin, end};
  if (begin > after && source[begin - 1] == '\\') {
    --begin;
  } else {
    while (begin > after && source[begin - 1] == ' ') --begin;
  }
  return {begin, end};
}

SourceSpan table_row_range(std::string_view source, std::size_t content, std::size_t cell_index) {
  content = std::min(content, source.size());
  std::size_t first = line_start(source, content);
  std::size_t eol = find_line_end(source, content);
  std::size_t end = eol + line_end_length(source, eol);
  // Cell separators before the content; a pipe right after a backslash is text.
  std::size_t pipes = 0;
  std::size_t first_pipe = content;
  for (std::size_t i = first; i < content; ++i) {
    if (source[i] == '|' && (i == first || source[i - 1] != '\\')) {
      if (pipes++ == 0) first_pipe = i;
    }
  }
  if (pipes > cell_index) return {first_pipe, end};
  // No leading pipe: the row starts after the indentation and any block-quote markers.
  std::size_t start = first;
  while (start < content && (is_blank(source[start]) || source[start] == '>')) ++start;
  return {start, end};
}

}  // namespace mdspeak::markdown
