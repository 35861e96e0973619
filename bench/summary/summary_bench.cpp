// Cost of summarising next to the cost of reading: both on one large real document made of the
// Markdown files installed on this machine (documentation of packages), concatenated in a fixed
// order. Ends with the summary/parse ratio of CPU times taken in alternation; the goal is at
// most 0.3.
// MDSPEAK_BENCH_MARKDOWN names a file to use instead.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "markdown/markdown.h"
#include "summary/summary.h"

namespace mdspeak {
namespace {

constexpr std::size_t kTargetBytes = 4u << 20;

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return std::move(buffer).str();
}

// Text that still looks like documentation, for machines without Markdown files.
std::string generated_markdown(std::size_t size) {
  static const char* const kBlocks[] = {
      "# Overview\n\nThe service reads documents aloud and reports progress to its client.\n\n",
      "## Installation\n\n1. Run the installer.\n2. Configure the `voice` option.\n\n",
      "## Status\n\n- [x] ship parser\n- [ ] add voices\n- [ ] write docs\n\n",
      "> Note: this only works on systems with a speech daemon.\n\n",
      "| Option | Meaning |\n|---|---|\n| rate | speed of speech |\n\n",
      "Plain prose follows here, a sentence of ordinary length with numbers 12345 and 678.\n\n",
  };
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += kBlocks[i % std::size(kBlocks)];
  return text;
}

std::string machine_markdown() {
  if (const char* path = std::getenv("MDSPEAK_BENCH_MARKDOWN")) return read_file(path);
  std::vector<std::filesystem::path> files;
  for (const char* root : {"/usr/share/doc", "/usr/lib/node_modules", "/usr/src", "/usr/lib"}) {
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(
        root, std::filesystem::directory_options::skip_permission_denied, ec);
    for (; !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->path().extension() == ".md" && it->is_regular_file(ec)) files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  std::string text;
  for (const auto& file : files) {
    if (text.size() >= kTargetBytes) break;
    text += read_file(file);
    text += "\n\n";
  }
  if (text.size() < (256u << 10)) return generated_markdown(kTargetBytes);
  return text;
}

const std::string& source() {
  static const std::string text = machine_markdown();
  return text;
}

void BM_Parse(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(parse_markdown_document(source()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source().size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

void BM_Summarize(benchmark::State& state) {
  const ParsedMarkdownDocument document = parse_markdown_document(source());
  state.counters["sections"] = static_cast<double>(document.section_count());
  for (auto _ : state) benchmark::DoNotOptimize(summarize_document(document));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source().size()));
}
BENCHMARK(BM_Summarize)->Unit(benchmark::kMillisecond);

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The two operations timed in alternation, so that other work on the machine weighs on both
// alike; the ratio of the medians is printed.
void print_interleaved_ratio() {
  constexpr int kRounds = 15;
  std::vector<double> parse_times;
  std::vector<double> summary_times;
  for (int round = 0; round < kRounds; ++round) {
    double start = thread_cpu_seconds();
    const ParsedMarkdownDocument document = parse_markdown_document(source());
    parse_times.push_back(thread_cpu_seconds() - start);
    start = thread_cpu_seconds();
    const std::vector<Utterance> summary = summarize_document(document);
    summary_times.push_back(thread_cpu_seconds() - start);
    benchmark::DoNotOptimize(summary);
  }
  const double parse = median(parse_times);
  const double summarize = median(summary_times);
  std::printf("interleaved medians: parse %.2f ms, summary %.2f ms\n", parse * 1e3,
              summarize * 1e3);
  std::printf("summary/parse CPU time ratio: %.3f (goal: at most 0.3)\n", summarize / parse);
}

}  // namespace
}  // namespace mdspeak

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("document: %zu bytes\n", mdspeak::source().size());
  benchmark::RunSpecifiedBenchmarks();
  mdspeak::print_interleaved_ratio();
  benchmark::Shutdown();
  return 0;
}
