#include "markdown/natural.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "common/text.h"
#include "markdown/markdown.h"

namespace mdspeak {

namespace markdown {

namespace {

// Lower-case words that a dot follows without ending the sentence, English and Spanish. Single
// letters (initials, "p." of "p. ej.") are told apart by their length.
constexpr std::array<std::string_view, 30> kAbbreviations = {
    "e.g", "i.e", "etc", "vs",  "mr",   "mrs",  "ms",   "dr",    "st",  "approx",
    "cf",  "ej",  "sr",  "sra", "srta", "dra",  "núm",  "pág",   "ee",  "uu",
    "ud",  "uds", "fig", "vol", "jr",   "prof", "p.ej", "aprox", "tel", "avda",
};

bool is_opening(char c) {
  return c == '(' || c == '[' || c == '"' || c == '\'' || c == '{';
}

}  // namespace

bool ends_abbreviation(std::string_view text, std::size_t dot) {
  std::size_t begin = text.rfind(' ', dot);
  begin = begin == std::string_view::npos ? 0 : begin + 1;
  while (begin < dot && is_opening(text[begin])) ++begin;
  const std::string_view word = text.substr(begin, dot - begin);
  if (word.empty()) return false;
  // An initial: one letter (ASCII), or one two-byte letter.
  if (word.size() == 1) return std::isalpha(static_cast<unsigned char>(word[0])) != 0;
  // "No. 5" is a number; "it said no." ends a sentence.
  if (word == "No" || word == "no" || word == "Nº") {
    return dot + 2 < text.size() && text[dot + 1] == ' ' &&
           std::isdigit(static_cast<unsigned char>(text[dot + 2])) != 0;
  }
  if (word.size() > 6) return false;
  const std::string lower = text::ascii_lower(word);
  return std::find(kAbbreviations.begin(), kAbbreviations.end(), lower) != kAbbreviations.end();
}

bool heard_as_end(std::string_view source, std::size_t mark) {
  std::size_t p = mark + 1;
  // Bounded: closing syntax is short, and a link's tail stays on its line.
  constexpr std::size_t kLongestTail = 512;
  while (p < source.size() && p - mark < kLongestTail) {
    const char c = source[p];
    if (c == ']' && p + 1 < source.size() && (source[p + 1] == '(' || source[p + 1] == '[')) {
      const char close = source[p + 1] == '(' ? ')' : ']';
      const std::size_t end = source.find_first_of(std::string{close, '\n'}, p + 2);
      if (end == std::string_view::npos || source[end] != close) return false;
      p = end + 1;
    } else if (c == '*' || c == '_' || c == '~' || c == '`' || c == ']' || c == ')' || c == '"' ||
               c == '\'') {
      ++p;
    } else {
      break;
    }
  }
  return p >= source.size() || source[p] == ' ' || source[p] == '\t' || source[p] == '\n' ||
         source[p] == '\r' || source[p] == '\0';
}

std::vector<std::string_view> cut_sentences(std::string_view text, std::size_t min_bytes,
                                            const std::function<bool(std::size_t)>& heard) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  for (std::size_t i = 0; (i = text::find_sentence_or_clause_end(text, i)) < text.size(); ++i) {
    // A mark inside a token (Node.js, 20.04, 3:45, a path or address) is not heard as an end.
    if (i + 1 < text.size() && text[i + 1] != ' ') continue;
    if (text[i] == '.' && ends_abbreviation(text, i)) continue;
    if (heard && !heard(i)) continue;
    const std::string_view piece = text::trim(text.substr(begin, i + 1 - begin));
    if (piece.size() < min_bytes) continue;
    pieces.push_back(piece);
    begin = i + 1;
  }
  const std::string_view rest = text::trim(text.substr(begin));
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

std::vector<std::string_view> cut_after_commas(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  for (std::size_t comma = text.find(", "); comma != std::string_view::npos;
       comma = text.find(", ", comma + 1)) {
    const std::string_view piece = text::trim(text.substr(begin, comma + 1 - begin));
    // A comma with nothing before it but another comma's piece joins that piece.
    if (piece.find_first_not_of(',') == std::string_view::npos) continue;
    pieces.push_back(piece);
    begin = comma + 1;
  }
  const std::string_view rest = text::trim(text.substr(begin));
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

std::string code_language_name(std::string_view info) {
  // The info string's first word, without the braces and dot of attribute syntax.
  while (!info.empty() && (info.front() == '{' || info.front() == '.')) info.remove_prefix(1);
  const std::string_view word = info.substr(0, std::min(info.find_first_of(" \t{},"), info.size()));
  if (word.empty() || word.size() > 20) return {};
  for (char c : word) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '+' && c != '#' && c != '-' &&
        c != '_') {
      return {};
    }
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 52> kNames = {{
      {"sh", "Shell"},
      {"bash", "Shell"},
      {"shell", "Shell"},
      {"zsh", "Shell"},
      {"console", "Shell"},
      {"shell-session", "Shell"},
      {"sh-session", "Shell"},
      {"fish", "Fish"},
      {"powershell", "PowerShell"},
      {"ps1", "PowerShell"},
      {"bat", "Batch"},
      {"py", "Python"},
      {"python", "Python"},
      {"python3", "Python"},
      {"js", "JavaScript"},
      {"javascript", "JavaScript"},
      {"jsx", "JavaScript"},
      {"mjs", "JavaScript"},
      {"ts", "TypeScript"},
      {"typescript", "TypeScript"},
      {"tsx", "TypeScript"},
      {"c", "C"},
      {"h", "C"},
      {"cpp", "C++"},
      {"c++", "C++"},
      {"cxx", "C++"},
      {"hpp", "C++"},
      {"cs", "C#"},
      {"csharp", "C#"},
      {"rs", "Rust"},
      {"rust", "Rust"},
      {"go", "Go"},
      {"golang", "Go"},
      {"rb", "Ruby"},
      {"json", "JSON"},
      {"jsonc", "JSON"},
      {"yaml", "YAML"},
      {"yml", "YAML"},
      {"toml", "TOML"},
      {"xml", "XML"},
      {"html", "HTML"},
      {"css", "CSS"},
      {"sql", "SQL"},
      {"md", "Markdown"},
      {"markdown", "Markdown"},
      {"cmake", "CMake"},
      {"make", "Makefile"},
      {"makefile", "Makefile"},
      {"dockerfile", "Dockerfile"},
      {"ini", "INI"},
      {"vim", "Vim script"},
      {"kt", "Kotlin"},
  }};
  const std::string lower = text::ascii_lower(word);
  for (const auto& [key, name] : kNames) {
    if (key == lower) return std::string(name);
  }
  // Plain text has no language to name.
  if (lower == "text" || lower == "txt" || lower == "plain" || lower == "plaintext" ||
      lower == "none" || lower == "output") {
    return {};
  }
  std::string name(word);
  if (name[0] >= 'a' && name[0] <= 'z') name[0] = static_cast<char>(name[0] - 'a' + 'A');
  return name;
}

}  // namespace markdown

std::string code_block_announcement(std::string_view language, std::size_t lines, bool spanish) {
  std::string out;
  const std::string count = std::to_string(lines);
  if (spanish) {
    out = "Bloque de código";
    if (!language.empty()) out.append(" ").append(language);
    out.append(", ").append(count).append(lines == 1 ? " línea." : " líneas.");
  } else {
    if (!language.empty())
      out.append(language).append(" code block");
    else
      out = "Code block";
    out.append(", ").append(count).append(lines == 1 ? " line." : " lines.");
  }
  return out;
}

void word_task_prefixes(ParsedMarkdownDocument& document, std::optional<SupportedLanguage> language,
                        std::span<const std::optional<SupportedLanguage>> passages) {
  for (const ParsedMarkdownDocument::TaskItemNote& note : document.task_items) {
    if (note.utterance >= document.utterances.size()) continue;
    Utterance& u = document.utterances[note.utterance];
    const std::string_view made = note.done ? kDonePrefix : kTodoPrefix;
    const std::string_view wanted = task_prefix(
        note.done, note.utterance < passages.size() ? passages[note.utterance] : language);
    if (made == wanted || !u.text.starts_with(made)) continue;
    u.text.replace(0, made.size(), wanted);
    document.source_map.reword_prefix(note.utterance, made.size(), wanted.size());
  }
}

void announce_code_blocks_in_spanish(ParsedMarkdownDocument& document) {
  for (const ParsedMarkdownDocument::CodeBlockNote& note : document.code_blocks) {
    if (note.utterance >= document.utterances.size()) continue;
    Utterance& u = document.utterances[note.utterance];
    u.text = code_block_announcement(note.language, note.lines, true);
  }
}

}  // namespace mdspeak
