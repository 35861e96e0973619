// How parse_markdown_document's time grows on hostile Markdown: for each pattern, documents of
// size n, 2n, 4n and 8n, and the growth factor per doubling (2 for linear time; every factor is
// expected to stay at or below 2.5). Thread CPU time, best of several runs, so that other load on
// the machine counts as little as possible. Exits 1 when a factor is over the limit.
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "markdown/markdown.h"

namespace {

constexpr double kLimit = 2.5;

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

struct Pattern {
  const char* name;
  std::size_t base;  // n for the smallest document
  std::function<std::string(std::size_t)> make;
};

std::string quotes(std::size_t n) {
  return repeat(" 'x", n) + repeat(" x\"", n);
}

const Pattern kPatterns[] = {
    {"quotes in a paragraph", 20000, quotes},
    {"quotes in a heading", 20000, [](std::size_t n) { return "# " + quotes(n); }},
    {"quotes in an item", 20000, [](std::size_t n) { return "- " + quotes(n); }},
    {"quotes in a table cell", 20000,
     [](std::size_t n) { return "| a |\n|---|\n| " + quotes(n) + " |\n"; }},
    {"quotes across spans", 12000,
     [](std::size_t n) { return repeat("*'a* ", n) + repeat("\"b ", n); }},
    {"emphasis openers", 20000, [](std::size_t n) { return repeat("*a ", n) + repeat("b_ ", n); }},
    {"emphasis run lengths", 12000,
     [](std::size_t n) { return repeat("*a **b ", n) + repeat("c* ", n); }},
    {"nested emphasis", 20000, [](std::size_t n) { return repeat("*", n) + "x" + repeat("*", n); }},
    {"link openers", 20000, [](std::size_t n) { return repeat("[a ", n) + repeat("](b) ", n); }},
    {"unclosed destinations", 20000, [](std::size_t n) { return repeat("[a](b ", n); }},
    {"brackets", 20000, [](std::size_t n) { return repeat("[", n) + "x" + repeat("]", n); }},
    {"image brackets", 20000, [](std::size_t n) { return repeat("![", n) + repeat("]", n); }},
    {"code span fences", 400,
     [](std::size_t n) {
       // Backtick runs of every length up to 60 that never close, over and over.
       std::string s;
       for (std::size_t k = 0; k < n; ++k) {
         for (std::size_t i = 1; i <= 60; ++i) s += std::string(i, '`') + "a";
       }
       return s;
     }},
    {"unclosed references", 20000, [](std::size_t n) { return repeat("&amp x ", n); }},
    {"nested quotes", 2000, [](std::size_t n) { return repeat(repeat(">", 50) + " x\n", n); }},
    {"nested lists", 200,
     [](std::size_t n) {
       std::string s;
       for (std::size_t k = 0; k < n; ++k) {
         for (std::size_t i = 0; i < 40; ++i) s += std::string(2 * i, ' ') + "- item\n";
       }
       return s;
     }},
    {"table rows", 20000,
     [](std::size_t n) { return "| a | b |\n|---|---|\n" + repeat("| 'x | y\" |\n", n); }},
};

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double best_time(const std::string& source) {
  double best = 1e30;
  for (int run = 0; run < 5; ++run) {
    const double t0 = cpu_seconds();
    mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(source);
    const double t1 = cpu_seconds();
    best = std::min(best, t1 - t0);
    if (doc.utterances.size() > source.size()) std::puts("");  // keeps the parse
  }
  return best;
}

}  // namespace

int main() {
  // Freed memory stays with the process: fresh pages for every large buffer would add page-fault
  // time that depends on the kernel, not on the parser.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  bool over = false;
  std::printf("| pattern | bytes at 8n | ms at n, 2n, 4n, 8n | growth per doubling |\n");
  std::printf("|---|---|---|---|\n");
  for (const Pattern& p : kPatterns) {
    // The largest first, so that every size finds the memory it needs already mapped.
    best_time(p.make(8 * p.base));
    std::vector<double> times;
    std::size_t bytes = 0;
    for (std::size_t n = p.base; n <= 8 * p.base; n *= 2) {
      const std::string source = p.make(n);
      bytes = source.size();
      times.push_back(best_time(source));
    }
    std::string factors;
    for (std::size_t i = 1; i < times.size(); ++i) {
      // Below a few microseconds the clock says nothing about growth.
      const double factor = times[i - 1] > 2e-5 ? times[i] / times[i - 1] : 0;
      if (factor > kLimit) over = true;
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%.2f%s", i > 1 ? " " : "", factor,
                    factor > kLimit ? "!" : "");
      factors += buf;
    }
    std::printf("| %s | %zu | %.2f %.2f %.2f %.2f | %s |\n", p.name, bytes, times[0] * 1e3,
                times[1] * 1e3, times[2] * 1e3, times[3] * 1e3, factors.c_str());
  }
  if (over) std::printf("growth over %.1f per doubling (marked !)\n", kLimit);
  return over ? 1 : 0;
}
