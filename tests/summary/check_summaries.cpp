// Summarises Markdown files and reports every summary that breaks the invariants of a spoken
// summary. Not a test: the files it reads differ from machine to machine. Paths come as
// arguments, or one per line on standard input when there are none. Prints one line per problem
// ("path: problem") and a closing count; exits 1 when a problem was found. Unreadable files are
// counted, not reported.
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "invariants.h"
#include "markdown/markdown.h"
#include "summary/summary.h"

namespace {

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  out = std::move(buffer).str();
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths(argv + 1, argv + argc);
  if (paths.empty()) {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) paths.push_back(line);
    }
  }
  std::size_t checked = 0;
  std::size_t broken = 0;
  std::size_t unreadable = 0;
  for (const std::string& path : paths) {
    std::string source;
    if (!read_file(path, source)) {
      ++unreadable;
      continue;
    }
    const auto summary = mdspeak::summarize_document(mdspeak::parse_markdown_document(source));
    auto problems = mdspeak::summary_check::summary_problems(summary);
    for (const auto& paragraph : summary) {
      if (paragraph.end_offset > source.size()) problems.push_back("range past the end");
    }
    ++checked;
    if (!problems.empty()) ++broken;
    for (const auto& problem : problems) std::cout << path << ": " << problem << '\n';
  }
  std::cout << "checked " << checked << " files, " << broken << " with problems, " << unreadable
            << " unreadable\n";
  return broken > 0 ? 1 : 0;
}
