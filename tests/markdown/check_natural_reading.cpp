// Reads each Markdown file named on the command line in both readings and checks what the natural
// reading promises: utterance starts never decrease; every range lies inside the document and on
// UTF-8 boundaries; a cut inside a block falls only where the source has white space after the
// mark; and no word of the plain reading is lost (the natural reading may join words that the
// plain reading split where the source had no space, and adds announcements and table headers).
// Prints every problem and the figures; exits 1 when there is any problem.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "markdown/markdown.h"

namespace {

using mdspeak::ParsedMarkdownDocument;
using mdspeak::ReadingMode;
using mdspeak::Utterance;
using mdspeak::UtteranceKind;

bool word_byte(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}

// The runs of letters and digits (any non-ASCII byte counts as a letter), lower-cased.
void add_words(std::string_view text, std::map<std::string, long>& words) {
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !word_byte(static_cast<unsigned char>(text[i]))) ++i;
    std::string word;
    while (i < text.size() && word_byte(static_cast<unsigned char>(text[i]))) {
      const char c = text[i++];
      word.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    if (!word.empty()) ++words[word];
  }
}

bool continuation(std::string_view source, std::size_t at) {
  return at < source.size() && (static_cast<unsigned char>(source[at]) & 0xC0) == 0x80;
}

bool white(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Whether `after` (the source after a mark) starts with white space, once the closing syntax of
// emphasis, code, quotes and links (`](dest)`, `][label]`) is passed.
bool white_after_closing_syntax(std::string_view after) {
  std::size_t p = 0;
  while (p < after.size()) {
    if (after[p] == ']' && p + 1 < after.size() && (after[p + 1] == '(' || after[p + 1] == '[')) {
      const std::size_t end = after.find(after[p + 1] == '(' ? ')' : ']', p + 2);
      if (end == std::string_view::npos) return false;
      p = end + 1;
    } else if (std::string_view("*_~`])\"'").find(after[p]) != std::string_view::npos) {
      ++p;
    } else {
      break;
    }
  }
  return p == after.size() || white(after[p]);
}

// Whether `word` (missing from the natural reading) is part of a longer word that the natural
// reading has and the plain reading has fewer of: pieces joined where the source had no space.
bool joined_into(const std::string& word, const std::map<std::string, long>& natural,
                 const std::map<std::string, long>& plain) {
  for (const auto& [w, n] : natural) {
    if (w.size() <= word.size() || w.find(word) == std::string::npos) continue;
    auto s = plain.find(w);
    if (s == plain.end() || s->second < n) return true;
  }
  return false;
}

struct Figures {
  std::size_t problems = 0;
  std::size_t utterances = 0;
  std::size_t cuts = 0;
  std::size_t code_blocks = 0;
  std::size_t plain_words = 0;
  std::size_t joined = 0;
};

// The checks of one file; each problem is printed with the file's name and counted.
class FileCheck {
 public:
  FileCheck(const char* file, std::string_view source, const ParsedMarkdownDocument& natural,
            Figures& figures)
      : file_(file), source_(source), natural_(natural), figures_(figures) {}

  // Ranges of utterance `i` and of its words, and the cut after it.
  void check_utterance(std::size_t i) {
    const Utterance& u = natural_.utterances[i];
    const std::string at = "utterance " + std::to_string(i) + " '" + u.text.substr(0, 40) + "'";
    if (u.kind != UtteranceKind::CodeBlock) check_word_ranges(i, at);
    if (i > 0 && u.start_offset < natural_.utterances[i - 1].start_offset) {
      report("start before the previous one's: " + at);
    }
    if (u.start_offset > u.end_offset || u.end_offset > source_.size()) {
      report("range outside the document: " + at);
    } else if (continuation(source_, u.start_offset) || continuation(source_, u.end_offset)) {
      report("range not on character boundaries: " + at);
    }
    check_cut(i, at);
  }

  // Table headers are read again before each cell; the headers' words are in both readings.
  void check_words_kept(const std::map<std::string, long>& plain_bag,
                        const std::map<std::string, long>& natural_bag) {
    for (const auto& [word, n] : plain_bag) {
      figures_.plain_words += static_cast<std::size_t>(n);
      const auto got = natural_bag.find(word);
      const long have = got == natural_bag.end() ? 0 : got->second;
      if (have >= n) continue;
      if (joined_into(word, natural_bag, plain_bag)) {
        figures_.joined += static_cast<std::size_t>(n - have);
        continue;
      }
      report("word lost: '" + word + "' " + std::to_string(n - have) + " of " + std::to_string(n));
    }
  }

 private:
  void report(const std::string& what) {
    std::printf("%s: %s\n", file_, what.c_str());
    ++figures_.problems;
  }

  // Every word's source lies inside its utterance's range (words the reading adds map to an
  // empty range between their neighbours; a task prefix maps to its box, before the text).
  void check_word_ranges(std::size_t i, const std::string& at) {
    const Utterance& u = natural_.utterances[i];
    std::size_t prefix = 0;
    if (u.kind == UtteranceKind::Item) {
      for (std::string_view p : {mdspeak::kTodoPrefix, mdspeak::kDonePrefix}) {
        if (u.text.starts_with(p)) prefix = p.size();
      }
    }
    for (std::size_t b = 0, e = 0; b < u.text.size(); b = e + 1) {
      e = std::min(u.text.find(' ', b), u.text.size());
      if (e == b || b < prefix) continue;
      const mdspeak::SourceSpan r = natural_.source_map.source_range(i, b, e);
      if (r.first < r.second && (r.first < u.start_offset || r.second > u.end_offset)) {
        report("word '" + u.text.substr(b, e - b) + "' outside its " + at);
      }
    }
  }

  // A cut: the next utterance continues the same block (its range starts inside or right after
  // this one's block text, with no line between).
  void check_cut(std::size_t i, const std::string& at) {
    const Utterance& u = natural_.utterances[i];
    if (i + 1 == natural_.utterances.size() || u.text.empty()) return;
    const Utterance& next = natural_.utterances[i + 1];
    if (next.kind != u.kind || next.start_offset < u.end_offset) return;
    const std::string_view between = source_.substr(u.end_offset, next.start_offset - u.end_offset);
    if (between.find('\n') != std::string_view::npos) return;
    ++figures_.cuts;
    const char last = u.text.back();
    const bool mark = last == '.' || last == '!' || last == '?' || last == ':' || last == ';';
    if (mark && u.end_offset > 0 && source_[u.end_offset - 1] == last &&
        !white_after_closing_syntax(source_.substr(u.end_offset))) {
      report("cut where the source has no white space after the mark: " + at);
    }
  }

  const char* file_;
  std::string_view source_;
  const ParsedMarkdownDocument& natural_;
  Figures& figures_;
};

}  // namespace

int main(int argc, char** argv) {
  Figures figures;
  for (int f = 1; f < argc; ++f) {
    std::ifstream in(argv[f], std::ios::binary);
    const std::string source(std::istreambuf_iterator<char>(in), {});
    const ParsedMarkdownDocument plain = mdspeak::parse_markdown_document(source);
    const ParsedMarkdownDocument natural =
        mdspeak::parse_markdown_document(source, ReadingMode::Natural);
    figures.utterances += natural.utterances.size();
    std::map<std::string, long> plain_bag;
    std::map<std::string, long> natural_bag;
    for (const Utterance& u : plain.utterances) add_words(u.text, plain_bag);
    FileCheck check(argv[f], source, natural, figures);
    for (std::size_t i = 0; i < natural.utterances.size(); ++i) {
      const Utterance& u = natural.utterances[i];
      if (u.kind == UtteranceKind::CodeBlock) {
        ++figures.code_blocks;
      } else {
        add_words(u.text, natural_bag);
      }
      check.check_utterance(i);
    }
    check.check_words_kept(plain_bag, natural_bag);
  }
  std::printf(
      "%d files, %zu utterances (%zu code blocks announced, %zu cuts inside blocks), %zu words "
      "of the plain reading (%zu read joined to a neighbour), %zu problems\n",
      argc - 1, figures.utterances, figures.code_blocks, figures.cuts, figures.plain_words,
      figures.joined, figures.problems);
  return figures.problems == 0 ? 0 : 1;
}
