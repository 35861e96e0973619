// `load_document` end to end (the line written to the service's stdin until its answer is read)
// next to md4c alone with empty callbacks on the same bytes, in the same run, with a breakdown of
// the same work done in this process stage by stage, and the service's peak memory.
//
//   bench_load    # corpus from MDSPEAK_MARKDOWN_CORPUS, else scripts/markdown-corpus's
#include <benchmark/benchmark.h>
#include <md4c.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../support/corpus.h"
#include "../support/md4c_alone.h"
#include "language/language.h"
#include "markdown/markdown.h"
#include "protocol/protocol.h"
#include "service_process.h"
#include "summary/summary.h"

namespace mdspeak::testing {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

const std::string& corpus() {
  static const std::string text = [] {
    std::string t = bench::read_markdown_corpus();
    if (t.empty()) t = "# Heading\n\nA paragraph of text, with a clause. Another one.\n\n";
    return t;
  }();
  return text;
}

// The corpus cut or repeated to `bytes`, ending on a line boundary.
std::string document_of(std::size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += corpus();
  out.resize(bytes);
  if (auto last = out.rfind('\n'); last != std::string::npos) out.resize(last + 1);
  return out;
}

// The request line, the text escaped by the service's own writer; `reading` adds the member.
std::string load_line(const std::string& text, std::string_view reading = {}) {
  std::string message;
  encode_message(BackendUnavailable{text}, message);
  const std::string_view prefix = R"({"type":"backend_unavailable","message":)";
  std::string line = R"({"type":"load_document","id":"1","document_id":"doc","text":)";
  line.append(message, prefix.size(), message.size() - prefix.size() - 1);
  if (!reading.empty()) line.append(R"(,"reading":")").append(reading).append("\"");
  line += "}\n";
  return line;
}

// A figure from /proc/PID/status in MB: VmRSS now, VmHWM the peak since the service started
// (its fork from this large process does not count, unlike getrusage's maximum).
double status_mb(int pid, std::string_view key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
      return std::stod(line.substr(key.size() + 1)) / 1024.0;
    }
  }
  return -1;
}

double md4c_seconds(const std::string& text) {
  const auto start = Clock::now();
  benchmark::DoNotOptimize(bench::md4c_alone(text));
  return seconds_since(start);
}

// One load in a fresh service: its time (negative when it was not answered) and the service's
// peak resident memory.
struct TimedLoad {
  double seconds = -1;
  double peak_mb = 0;
};

TimedLoad timed_load(const std::string& line) {
  ServiceProcess service(without_speech());
  service.write("{\"type\":\"init\",\"id\":\"0\"}\n");
  service.read_line();
  service.read_line();
  const auto start = Clock::now();
  service.write(line);
  auto answer = service.read_line(std::chrono::minutes(5));
  TimedLoad load;
  if (answer && answer->find("load_document_result") != std::string::npos) {
    load.seconds = seconds_since(start);
    load.peak_mb = status_mb(service.pid(), "VmHWM");
  }
  service.close_stdin();
  service.wait();
  return load;
}

// One load in a fresh service per iteration, with md4c timed on the same bytes just before it.
// Reports the speed ratio and the peak resident memory against the text's size.
void BM_LoadDocumentEndToEnd(benchmark::State& state) {
  const std::string text = document_of(static_cast<std::size_t>(state.range(0)) << 20);
  const std::string line = load_line(text);
  double service_total = 0;
  double md4c_total = 0;
  double peak_mb = 0;
  for (auto _ : state) {
    md4c_total += md4c_seconds(text);
    const TimedLoad load = timed_load(line);
    if (load.seconds < 0) {
      state.SkipWithError("no load_document_result");
      break;
    }
    state.SetIterationTime(load.seconds);
    service_total += load.seconds;
    peak_mb = std::max(peak_mb, load.peak_mb);
  }
  const double mb = static_cast<double>(text.size()) / 1e6;
  state.counters["text_MB"] = mb;
  state.counters["MB_per_s"] = mb * static_cast<double>(state.iterations()) / service_total;
  state.counters["vs_md4c"] = md4c_total / service_total;
  state.counters["peak_rss_MB"] = peak_mb;
  state.counters["rss_budget_MB"] = 3 * mb + 20;
}
BENCHMARK(BM_LoadDocumentEndToEnd)
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The natural reading's load next to the plain one on the same text, each in a fresh service,
// the order alternating between iterations.
void BM_LoadNaturalAgainstPlain(benchmark::State& state) {
  const std::string text = document_of(static_cast<std::size_t>(state.range(0)) << 20);
  const std::string plain_line = load_line(text);
  const std::string natural_line = load_line(text, "natural");
  double plain_total = 0;
  double natural_total = 0;
  bool natural_first = false;
  for (auto _ : state) {
    double plain = 0;
    double natural = 0;
    if (natural_first) natural = timed_load(natural_line).seconds;
    plain = timed_load(plain_line).seconds;
    if (!natural_first) natural = timed_load(natural_line).seconds;
    natural_first = !natural_first;
    if (plain < 0 || natural < 0) {
      state.SkipWithError("no load_document_result");
      break;
    }
    state.SetIterationTime(natural);
    plain_total += plain;
    natural_total += natural;
  }
  state.counters["plain_MB_per_s"] = static_cast<double>(text.size()) / 1e6 *
                                     static_cast<double>(state.iterations()) / plain_total;
  state.counters["natural_vs_plain"] = natural_total / plain_total;
}
// The same comparison for the reading alone, in CPU time of this process (both threads of a
// large document's reading), which a busy machine disturbs less than the time of a load.
double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_ReadNaturalAgainstPlain(benchmark::State& state) {
  const std::string text = document_of(static_cast<std::size_t>(state.range(0)) << 20);
  double seconds[2] = {0, 0};
  bool natural_first = false;
  for (auto _ : state) {
    for (int k = 0; k < 2; ++k) {
      const bool natural = (k == 0) == natural_first;
      const double start = process_cpu_seconds();
      {
        ParsedMarkdownDocument doc =
            parse_markdown_document(text, natural ? ReadingMode::Natural : ReadingMode::Plain);
        benchmark::DoNotOptimize(doc);
        seconds[natural ? 1 : 0] += process_cpu_seconds() - start;
      }
    }
    natural_first = !natural_first;
  }
  state.counters["natural_vs_plain"] = seconds[1] / seconds[0];
}
BENCHMARK(BM_ReadNaturalAgainstPlain)->Arg(10)->Iterations(6)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_LoadNaturalAgainstPlain)
    ->Arg(10)
    ->Iterations(4)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The service's work for one load, stage by stage in this process, as shares of the whole.
void BM_LoadStages(benchmark::State& state) {
  const std::string& text = corpus();
  const std::string line = load_line(text);
  double decode = 0, parse = 0, summary = 0, language = 0, answer = 0, md4c = 0;
  for (auto _ : state) {
    md4c += md4c_seconds(text);
    auto start = Clock::now();
    auto request = decode_request(std::string_view(line).substr(0, line.size() - 1));
    decode += seconds_since(start);
    if (!request) {
      state.SkipWithError("the line does not decode");
      break;
    }
    const auto& load = std::get<LoadDocument>(*request);

    start = Clock::now();
    ParsedMarkdownDocument parsed = parse_markdown_document(load.text);
    parse += seconds_since(start);

    start = Clock::now();
    auto spoken_summary = summarize_document(parsed);
    summary += seconds_since(start);
    benchmark::DoNotOptimize(spoken_summary);

    start = Clock::now();
    std::vector<std::string_view> texts;
    texts.reserve(parsed.utterances.size());
    for (const Utterance& u : parsed.utterances) texts.push_back(u.text);
    benchmark::DoNotOptimize(detect_supported_language(texts));
    language += seconds_since(start);

    start = Clock::now();
    std::string out;
    encode_message(LoadDocumentResult{load.id, load.document_id, parsed.utterances.size()}, out);
    answer += seconds_since(start);
  }
  const double total = decode + parse + summary + language + answer;
  const double mb =
      static_cast<double>(text.size()) / 1e6 * static_cast<double>(state.iterations());
  state.counters["decode_MB_per_s"] = mb / decode;
  state.counters["parse_MB_per_s"] = mb / parse;
  state.counters["summary_MB_per_s"] = mb / summary;
  state.counters["language_MB_per_s"] = mb / language;
  state.counters["decode_share"] = decode / total;
  state.counters["parse_share"] = parse / total;
  state.counters["summary_share"] = summary / total;
  state.counters["language_share"] = language / total;
  state.counters["answer_share"] = answer / total;
  state.counters["stages_vs_md4c"] = md4c / total;
}
BENCHMARK(BM_LoadStages)->Iterations(3)->Unit(benchmark::kMillisecond);

// The whole corpus document's prepare_speech answer, by the bytes of the answer line.
void BM_PrepareSpeechWholeDocument(benchmark::State& state) {
  ServiceProcess service(without_speech());
  service.write(load_line(corpus()));
  if (!service.read_line(std::chrono::minutes(5))) state.SkipWithError("no load answer");
  double answer_bytes = 0;
  double took = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    service.write(R"({"type":"prepare_speech","id":"2","document_id":"doc"})"
                  "\n");
    auto answer = service.read_line(std::chrono::minutes(5));
    took += seconds_since(start);
    state.SetIterationTime(seconds_since(start));
    if (!answer) {
      state.SkipWithError("no prepare_speech answer");
      break;
    }
    answer_bytes += static_cast<double>(answer->size());
  }
  state.counters["answer_MB"] = answer_bytes / 1e6 / static_cast<double>(state.iterations());
  state.counters["MB_per_s"] = answer_bytes / 1e6 / took;
  service.close_stdin();
}
BENCHMARK(BM_PrepareSpeechWholeDocument)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Idle memory before and after a 100 MB load, its whole prepare_speech answer and a 5-byte
// replacement; then the peak of a separate service given an invalid 200 MB line.
void BM_MemoryAfterHugeRequests(benchmark::State& state) {
  for (auto _ : state) {
    ServiceProcess service(without_speech());
    service.write("{\"type\":\"init\",\"id\":\"0\"}\n");
    service.read_line();
    service.read_line();
    const double start_mb = status_mb(service.pid(), "VmRSS");
    service.write(load_line(document_of(std::size_t{100} << 20)));
    service.read_line(std::chrono::minutes(5));
    service.write(R"({"type":"prepare_speech","id":"2","document_id":"doc"})"
                  "\n");
    service.read_line(std::chrono::minutes(5));
    service.write(load_line("# Hi\n"));
    service.read_line();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    state.counters["idle_start_MB"] = start_mb;
    state.counters["idle_after_MB"] = status_mb(service.pid(), "VmRSS");
    service.close_stdin();
    service.wait();

    ServiceProcess invalid(without_speech());
    std::string line = load_line(document_of(std::size_t{200} << 20));
    line.insert(line.size() - 2, ",]");  // not JSON: the peak is the reading and refusing
    invalid.write(line);
    // Answered only once the line before it has been read and refused.
    invalid.write("[\"stop\",\"s\"]\n");
    invalid.read_line(std::chrono::minutes(5));
    const double line_mb = static_cast<double>(line.size()) / 1e6;
    state.counters["invalid_line_MB"] = line_mb;
    state.counters["invalid_peak_x_line"] = status_mb(invalid.pid(), "VmHWM") * 1.048576 / line_mb;
    invalid.close_stdin();
    invalid.wait();
  }
}
BENCHMARK(BM_MemoryAfterHugeRequests)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mdspeak::testing

BENCHMARK_MAIN();
