// Detection over a whole 10 MB document, the way the document store calls it: the time includes
// the white-space handling, the letter count and the scoring. The documents are the labelled
// samples of one language (man pages and program messages) joined by spaces until 10 MB.
//
// With MDSPEAK_BENCH_MARKDOWN naming a file (e.g. the corpus of scripts/markdown-corpus), one more
// run detects over that file's lines as pieces, as the service reads a document's utterances.
//
// Besides time, each run reports the heap allocated per detection call (the detector is built
// during the first, unreported run) and how far the process's peak resident size rose above what
// it was before the first detection, in kB (the text itself is resident already).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "language/language.h"

namespace {

std::atomic<std::size_t> g_allocated_bytes{0};

}  // namespace

// Counts every allocation made through operator new, so the benchmark can show what a detection
// call allocates.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  g_allocated_bytes.fetch_add(size, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace mdspeak {
namespace {

constexpr std::size_t kDocumentBytes = 10u << 20;

long peak_rss_kb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// `code` is "en", "es", or "zh" for a Chinese text that the script rule turns away.
std::string document(const std::string& code) {
  std::string text;
  text.reserve(kDocumentBytes + 4096);
  if (code == "zh") {
    const std::string sentence =
        "\u8FD9\u662F\u4E00\u4E2A\u7528\u4E2D\u6587\u5199\u7684\u6BB5\u843D\uFF0C\u5B83\u4E0D\u5E94"
        "\u8BE5\u88AB\u8BC6\u522B\u4E3A\u82F1\u8BED\u6216\u8005\u897F\u73ED\u7259\u8BED\u3002 ";
    while (text.size() < kDocumentBytes) text += sentence;
    return text;
  }
  std::ifstream in(MDSPEAK_LANGUAGE_SAMPLES);
  std::string line;
  std::string samples;
  while (std::getline(in, line)) {
    if (line.size() > 3 && line.compare(0, 3, code + "\t") == 0) {
      samples += line.substr(3);
      samples += ' ';
    }
  }
  if (samples.empty()) return text;
  while (text.size() < kDocumentBytes) text += samples;
  return text;
}

void BM_DetectDocument(benchmark::State& state, const std::string& code) {
  const std::string text = document(code);
  if (text.empty()) {
    state.SkipWithError("no samples found");
    return;
  }
  const long rss_before = peak_rss_kb();
  std::size_t allocated = 0;
  std::optional<SupportedLanguage> answer;
  for (auto _ : state) {
    const std::size_t before = g_allocated_bytes.load(std::memory_order_relaxed);
    answer = detect_supported_language(text);
    allocated += g_allocated_bytes.load(std::memory_order_relaxed) - before;
    benchmark::DoNotOptimize(answer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["heap_bytes_per_call"] =
      static_cast<double>(allocated) / static_cast<double>(state.iterations());
  state.counters["peak_rss_growth_kB"] = static_cast<double>(peak_rss_kb() - rss_before);
  state.SetLabel(answer ? std::string(language_code(*answer)) : std::string("none"));
}

void BM_DetectMarkdownLines(benchmark::State& state) {
  const char* path = std::getenv("MDSPEAK_BENCH_MARKDOWN");
  std::ifstream in(path == nullptr ? "" : path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) {
    state.SkipWithError("MDSPEAK_BENCH_MARKDOWN names no readable file");
    return;
  }
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    if (end > start) lines.emplace_back(text.data() + start, end - start);
    start = end + 1;
  }
  std::optional<SupportedLanguage> answer;
  for (auto _ : state) {
    answer = detect_supported_language(lines);
    benchmark::DoNotOptimize(answer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["pieces"] = static_cast<double>(lines.size());
  state.SetLabel(answer ? std::string(language_code(*answer)) : std::string("none"));
}
BENCHMARK(BM_DetectMarkdownLines)->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_DetectDocument, english, std::string("en"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DetectDocument, spanish, std::string("es"))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DetectDocument, chinese, std::string("zh"))->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mdspeak

BENCHMARK_MAIN();
