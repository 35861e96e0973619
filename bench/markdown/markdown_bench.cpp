// Throughput of parse_markdown_document on a large real document, next to md4c alone (empty
// callbacks) on the same bytes. The corpus is the file named by MDSPEAK_MARKDOWN_CORPUS (see
// scripts/markdown-corpus), or else every Markdown file found on this machine outside system trees
// and /tmp, concatenated at start-up in path order. The relative speed is measured in one run so
// that both parsers see the same machine load; freeing the document is not counted as reading.
#include <benchmark/benchmark.h>
#include <md4c.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../support/md4c_alone.h"
#include "markdown/markdown.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string build_corpus() {
  std::vector<fs::path> files;
  // System trees, and /tmp where saved corpora and scratch copies live.
  const fs::path skipped[] = {"/proc", "/sys", "/dev", "/run", "/farm", "/tmp"};
  std::error_code ec;
  auto opts = fs::directory_options::skip_permission_denied;
  for (fs::recursive_directory_iterator it("/", opts, ec), end; it != end; it.increment(ec)) {
    if (ec) {
      ec.clear();
      continue;
    }
    if (it->is_directory(ec) && !it->is_symlink(ec) &&
        std::find(std::begin(skipped), std::end(skipped), it->path()) != std::end(skipped)) {
      it.disable_recursion_pending();
      continue;
    }
    if (it->path().extension() == ".md" && it->is_regular_file(ec) && !it->is_symlink(ec)) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  std::string corpus;
  for (const fs::path& f : files) {
    corpus += read_file(f);
    corpus += "\n\n";
  }
  return corpus;
}

const std::string& corpus() {
  static const std::string text = [] {
    const char* path = std::getenv("MDSPEAK_MARKDOWN_CORPUS");
    std::string t = path != nullptr ? read_file(path) : build_corpus();
    std::fprintf(stderr, "markdown corpus: %zu bytes\n", t.size());
    return t;
  }();
  return text;
}

void BM_Md4cAlone(benchmark::State& state) {
  const std::string& text = corpus();
  for (auto _ : state) benchmark::DoNotOptimize(mdspeak::bench::md4c_alone(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParseMarkdownDocument(benchmark::State& state) {
  const std::string& text = corpus();
  std::size_t utterances = 0;
  for (auto _ : state) {
    mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(text);
    utterances = doc.utterances.size();
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["utterances"] = static_cast<double>(utterances);
}

// Thread CPU time: the machine is shared, and time spent preempted is neither parser's.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Both in the same iterations, so that the ratio compares like with like.
void BM_SpeedRelativeToMd4c(benchmark::State& state) {
  const std::string& text = corpus();
  double md4c_seconds = 0;
  double ours_seconds = 0;
  double in_place_seconds = 0;  // the load's way: the source read in its own buffer
  for (auto _ : state) {
    double t0 = cpu_seconds();
    benchmark::DoNotOptimize(mdspeak::bench::md4c_alone(text));
    double t1 = cpu_seconds();
    {
      mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(text);
      benchmark::DoNotOptimize(doc);
      double t2 = cpu_seconds();
      md4c_seconds += t1 - t0;
      ours_seconds += t2 - t1;
    }  // freeing the document is not reading it
    std::string own = text;
    const double t3 = cpu_seconds();
    mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document_in_place(own);
    benchmark::DoNotOptimize(doc);
    in_place_seconds += cpu_seconds() - t3;
  }
  const double bytes = static_cast<double>(text.size()) * static_cast<double>(state.iterations());
  state.counters["md4c_MBps"] = bytes / md4c_seconds / 1e6;
  state.counters["ours_MBps"] = bytes / ours_seconds / 1e6;
  state.counters["ratio"] = md4c_seconds / ours_seconds;
  state.counters["in_place_ratio"] = md4c_seconds / in_place_seconds;
}

// Heap taken by the word-to-source map, as a share of the document's size.
void BM_SourceMapMemory(benchmark::State& state) {
  const std::string& text = corpus();
  std::size_t bytes = 0;
  for (auto _ : state) {
    mdspeak::ParsedMarkdownDocument doc = mdspeak::parse_markdown_document(text);
    bytes = doc.source_map.memory_bytes();
    benchmark::DoNotOptimize(doc);
  }
  state.counters["map_bytes"] = static_cast<double>(bytes);
  state.counters["map_per_source_byte"] =
      static_cast<double>(bytes) / static_cast<double>(text.size());
}

BENCHMARK(BM_Md4cAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SourceMapMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMarkdownDocument)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpeedRelativeToMd4c)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
