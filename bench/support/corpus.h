// The Markdown the benchmarks read: every Markdown file on the machine concatenated by
// scripts/markdown-corpus (made once into /tmp, or MDSPEAK_MARKDOWN_CORPUS), empty when none.
#pragma once

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace mdspeak::bench {

inline std::string read_markdown_corpus() {
  std::string path = "/tmp/mdspeak-markdown-corpus.md";
  if (const char* env = std::getenv("MDSPEAK_MARKDOWN_CORPUS")) path = env;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::system(("scripts/markdown-corpus " + path + " 2>/dev/null").c_str());
    in.open(path, std::ios::binary);
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace mdspeak::bench
