#include "markdown/block_fixes.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <iterator>
#include "common/text.h"

namespace mdspeak::markdown {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool is_ascii_alpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// HTML elements that open an HTML block of kind 6 (sorted; compared in lower case).
constexpr std::string_view kBlockTags[] = {
    "address",  "article",  "aside",    "base",       "basefont", "blockquote", "body",   "caption",
    "center",   "col",      "colgroup", "dd",         "details",  "dialog",     "dir",    "div",
    "dl",       "dt",       "fieldset", "figcaption", "figure",   "footer",     "form",   "frame",
    "frameset", "h1",       "h2",       "h3",         "h4",       "h5",         "h6",     "head",
    "header",   "hr",       "html",     "iframe",     "legend",   "li",         "link",   "main",
    "menu",     "menuitem", "nav",      "noframes",   "ol",       "optgroup",   "option", "p",
    "param",    "search",   "section",  "summary",    "table",    "tbody",      "td",     "tfoot",
    "th",       "thead",    "title",    "tr",         "track",    "ul"};

// The lower-case tag name after `<` or `</` at the start of `line`, and what follows it.
bool read_tag(std::string_view line, std::string& name, std::string_view& after, bool& closing) {
  if (line.size() < 2 || line[0] != '<') return false;
  std::string_view rest = line.substr(1);
  closing = rest.front() == '/';
  if (closing) rest.remove_prefix(1);
  std::size_t n = 0;
  while (n < rest.size() &&
         (is_ascii_alpha(rest[n]) || (n > 0 && rest[n] >= '0' && rest[n] <= '9')))
    ++n;
  if (n == 0 || n > 10) return false;
  name.assign(n, ' ');
  std::transform(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), name.begin(),
                 [](char c) { return text::ascii_lower(c); });
  after = rest.substr(n);
  return true;
}

// The block tag that opens an HTML block of kind 6 at the start of `line`, or empty.
std::string block_tag_name(std::string_view line) {
  std::string name;
  std::string_view after;
  bool closing = false;
  if (!read_tag(line, name, after, closing)) return {};
  if (!std::binary_search(std::begin(kBlockTags), std::end(kBlockTags), name)) return {};
  const bool ends =
      after.empty() || is_blank(after.front()) || after.front() == '>' || after.starts_with("/>");
  return ends ? name : std::string();
}

// The block tags md4c does not know: each extends a shorter one that it does (`thead` after
// `th`), and md4c stops at the shorter (sorted).
constexpr std::string_view kTagsMd4cMisses[] = {
    "basefont", "colgroup", "frameset", "header", "link", "menuitem", "param", "thead", "track"};

// HTML blocks of kinds 1 to 5: raw text elements, comments, processing instructions,
// declarations and CDATA.
bool starts_html_block(std::string_view line) {
  if (line.size() < 2 || line[0] != '<') return false;
  const std::string_view rest = line.substr(1);
  if (rest.starts_with("!--") || rest.starts_with("?") || rest.starts_with("![CDATA[")) return true;
  if (rest.size() >= 2 && rest[0] == '!' && rest[1] >= 'A' && rest[1] <= 'Z') return true;
  std::string name;
  std::string_view after;
  bool closing = false;
  if (!read_tag(line, name, after, closing) || closing) return false;
  const bool raw = name == "script" || name == "pre" || name == "style" || name == "textarea";
  return raw && (after.empty() || is_blank(after.front()) || after.front() == '>');
}

bool is_thematic_break(std::string_view line) {
  const char c = line.front();
  if (c != '*' && c != '-' && c != '_') return false;
  std::size_t count = 0;
  for (char x : line) {
    if (x == c) {
      ++count;
    } else if (!is_blank(x)) {
      return false;
    }
  }
  return count >= 3;
}

bool is_list_item(std::string_view line) {
  std::size_t i = 0;
  if (line[0] == '-' || line[0] == '+' || line[0] == '*') {
    i = 1;
  } else {
    while (i < line.size() && i < 9 && line[i] >= '0' && line[i] <= '9') ++i;
    if (i == 0 || i >= line.size() || (line[i] != '.' && line[i] != ')')) return false;
    ++i;
  }
  // An empty item cannot interrupt a paragraph, nor does it end a table here.
  return i < line.size() && is_blank(line[i]) && !trim_blanks(line.substr(i)).empty();
}

// A line's container prefix: its block-quote markers and the blanks around them.
struct Prefix {
  std::size_t length = 0;
  std::size_t quotes = 0;
  std::size_t indent = 0;  // columns of indentation after the last marker
};

Prefix prefix_of(std::string_view line) {
  Prefix p;
  std::size_t i = 0;
  for (;;) {
    std::size_t columns = 0;
    std::size_t j = i;
    while (j < line.size() && is_blank(line[j])) {
      columns += line[j] == '\t' ? 4 - columns % 4 : 1;
      ++j;
    }
    if (j < line.size() && line[j] == '>' && columns < 4) {
      ++p.quotes;
      i = j + 1;
      continue;
    }
    p.length = j;
    p.indent = columns;
    return p;
  }
}

// The cells of a delimiter row (`| --- | :-: |`), or 0 when `rest` is not one.
std::size_t delimiter_cells(std::string_view rest) {
  rest = trim_blanks(rest);
  if (rest.empty() || rest.find('|') == std::string_view::npos) return 0;
  if (rest.front() == '|') rest.remove_prefix(1);
  if (!rest.empty() && rest.back() == '|') rest.remove_suffix(1);
  std::size_t cells = 0;
  while (true) {
    const std::size_t bar = rest.find('|');
    std::string_view cell = trim_blanks(rest.substr(0, bar));
    if (!cell.empty() && cell.front() == ':') cell.remove_prefix(1);
    if (!cell.empty() && cell.back() == ':') cell.remove_suffix(1);
    if (cell.empty() || cell.find_first_not_of('-') != std::string_view::npos) return 0;
    ++cells;
    if (bar == std::string_view::npos) return cells;
    rest.remove_prefix(bar + 1);
  }
}

// The cells of a header row: its pipes, less a leading and a trailing one. As in GFM (and our
// md4c), a pipe right after a backslash is text, whatever stands before the backslash.
std::size_t header_cells(std::string_view rest) {
  rest = trim_blanks(rest);
  std::size_t pipes = 0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '|' && (i == 0 || rest[i - 1] != '\\')) ++pipes;
  }
  if (pipes == 0) return 0;
  std::size_t cells = pipes + 1;
  if (rest.front() == '|') --cells;
  if (rest.size() > 1 && rest.back() == '|' && rest[rest.size() - 2] != '\\') --cells;
  return cells;
}

// `rest` without a list marker and the blanks after it: a table's header row may open an item.
std::string_view without_list_marker(std::string_view rest) {
  std::size_t i = 0;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+' || rest[0] == '*')) {
    i = 1;
  } else {
    while (i < rest.size() && i < 9 && rest[i] >= '0' && rest[i] <= '9') ++i;
    if (i == 0 || i >= rest.size() || (rest[i] != '.' && rest[i] != ')')) return rest;
    ++i;
  }
  if (i >= rest.size() || !is_blank(rest[i])) return rest;
  return trim_blanks(rest.substr(i));
}

// A code fence's character and length at the start of `rest`, or 0.
std::size_t fence_length(std::string_view rest, char& c) {
  if (rest.empty() || (rest[0] != '`' && rest[0] != '~')) return 0;
  c = rest[0];
  std::size_t n = 0;
  while (n < rest.size() && rest[n] == c) ++n;
  return n >= 3 ? n : 0;
}

// The first bytes of a line that may matter to the scan: container prefixes, fences, HTML
// starts and the characters of a table's delimiter row.
constexpr auto kLineStarts = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : std::string_view(" \t>`~<|-:")) table[c] = true;
  return table;
}();

}  // namespace

bool starts_table_ending_block(std::string_view line) {
  line = trim_blanks(line);
  if (line.empty()) return false;
  char fence = 0;
  if (fence_length(line, fence) > 0) return true;
  if (line[0] == '#') {
    std::size_t n = 0;
    while (n < line.size() && line[n] == '#') ++n;
    if (n <= 6 && (n == line.size() || is_blank(line[n]))) return true;
  }
  return is_thematic_break(line) || starts_html_block(line) || starts_block_tag(line) ||
         is_list_item(line);
}

bool starts_block_tag(std::string_view line) {
  return !block_tag_name(line).empty();
}

namespace {

// The lines read so far, as far as they matter to the next: the block they left open.
class BlockFixFinder {
 public:
  // Reads the line (without its line end) that starts at `pos`.
  void read(std::string_view line, std::size_t pos) {
    // Most lines start with a letter: they neither open a block nor underline a table here.
    if (state_ == State::Text && !line.empty() &&
        !kLineStarts[static_cast<unsigned char>(line[0])]) {
      previous_ = line;
      return;
    }
    const Prefix p = prefix_of(line);
    const std::string_view rest = line.substr(p.length);
    const bool blank = trim_blanks(rest).empty();
    if (inside_block(p, rest, blank, pos)) return;
    if (state_ == State::Text && p.indent < 4) open_block(line, p, rest, pos);
    previous_ = state_ == State::Text && !blank ? line : std::string_view();
  }

  std::vector<BlockFix> take() { return std::move(fixes_); }

 private:
  enum class State { Text, Table, Fenced, Html };

  // Whether the line belongs to an open code fence or HTML block (and is read then); closes a
  // table that it ends.
  bool inside_block(const Prefix& p, std::string_view rest, bool blank, std::size_t pos) {
    switch (state_) {
      case State::Fenced: {
        char c = 0;
        if (fence_length(rest, c) >= fence_size_ && c == fence_char_ &&
            trim_blanks(rest).find_first_not_of(c) == std::string_view::npos) {
          state_ = State::Text;
        }
        return true;
      }
      case State::Html:
        if (blank) state_ = State::Text;
        return true;
      case State::Table:
        if (blank || p.quotes < table_.quotes) {
          state_ = State::Text;
        } else if (p.quotes > table_.quotes ||
                   (p.indent < table_.indent + 4 && starts_table_ending_block(rest))) {
          std::string inserted(table_prefix_);
          while (!inserted.empty() && is_blank(inserted.back())) inserted.pop_back();
          inserted.push_back('\n');
          fixes_.push_back({pos, std::move(inserted)});
          state_ = State::Text;
        }
        return false;
      case State::Text:
        return false;
    }
    return false;
  }

  // A line of text that may open a code fence, an HTML block or a table.
  void open_block(std::string_view line, const Prefix& p, std::string_view rest, std::size_t pos) {
    char c = 0;
    const std::size_t fence = fence_length(rest, c);
    if (fence > 0 && (c == '~' || rest.find('`', fence) == std::string_view::npos)) {
      state_ = State::Fenced;
      fence_char_ = c;
      fence_size_ = fence;
    } else if (const std::string tag = block_tag_name(rest); !tag.empty()) {
      if (std::binary_search(std::begin(kTagsMd4cMisses), std::end(kTagsMd4cMisses), tag)) {
        fixes_.push_back({pos + p.length, "<p>"});
      }
      state_ = State::Html;
    } else if (!previous_.empty()) {
      const std::size_t cells = delimiter_cells(rest);
      const Prefix h = cells > 0 ? prefix_of(previous_) : Prefix{};
      if (cells > 0 && h.quotes == p.quotes &&
          header_cells(without_list_marker(previous_.substr(h.length))) == cells) {
        state_ = State::Table;
        table_ = p;
        table_prefix_ = line.substr(0, p.length);
      }
    }
  }

  std::vector<BlockFix> fixes_;
  State state_ = State::Text;
  Prefix table_;  // the table's, while in one
  std::string_view table_prefix_;
  char fence_char_ = 0;
  std::size_t fence_size_ = 0;
  std::string_view previous_;  // the line before, when it is text that may head a table
};

}  // namespace

std::vector<BlockFix> find_block_fixes(std::string_view source, std::size_t from) {
  BlockFixFinder finder;
  std::size_t pos = from;
  while (pos < source.size()) {
    const void* hit = std::memchr(source.data() + pos, '\n', source.size() - pos);
    const std::size_t eol =
        hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - source.data())
                       : source.size();
    std::string_view line = source.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    finder.read(line, pos);
    pos = eol + 1;
  }
  return finder.take();
}

}  // namespace mdspeak::markdown
