// The stdin reader on one huge `load_document` line from a pipe: as the service reads it (the
// string decoded while the line still arrives) against reading the whole line first and then
// decoding it, in the same run. Wall and process CPU time and page faults per line.
//
//   bench_reader
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "common/channel.h"
#include "main/host.h"
#include "protocol/protocol.h"

namespace mdspeak {
namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Pages the system had to hand out (and zero) so far.
double page_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_minflt);
}

// A load line of `megabytes` of prose with a few escapes, as a client writes it.
std::string load_line(std::size_t megabytes) {
  const std::string piece = R"(A paragraph of text, with a clause \"quoted\". Another one.\n\n)";
  std::string line = R"({"type":"load_document","id":"1","document_id":"doc","text":")";
  while (line.size() < (megabytes << 20)) line += piece;
  line += "\"}\n";
  return line;
}

// Writes `line` into a fresh pipe from another thread and runs `read` on its reading end.
template <class Read>
void through_pipe(const std::string& line, Read read) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  std::thread writer([&] {
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fds[1], line.data() + done, line.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fds[1]);
  });
  read(fds[0]);
  writer.join();
  close(fds[0]);
}

void report(benchmark::State& state, double wall, double cpu, double faults) {
  const double n = static_cast<double>(state.iterations());
  state.counters["wall_ms"] = wall / n * 1e3;
  state.counters["cpu_ms"] = cpu / n * 1e3;
  state.counters["page_faults"] = faults / n;
}

void BM_ReadLineDecodingAhead(benchmark::State& state) {
  const std::string line = load_line(static_cast<std::size_t>(state.range(0)));
  double wall = 0, cpu = 0, faults = 0;
  for (auto _ : state) {
    auto [tx, rx] = make_channel<Request>();
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    const double faults_start = page_faults();
    through_pipe(line, [&](int fd) { take_in_requests(fd, tx); });
    cpu += cpu_seconds() - cpu_start;
    faults += page_faults() - faults_start;
    wall += std::chrono::duration<double>(Clock::now() - start).count();
    std::optional<Request> got;
    if (rx.try_recv(got) != TryRecv::Value) state.SkipWithError("no request");
  }
  report(state, wall, cpu, faults);
}
BENCHMARK(BM_ReadLineDecodingAhead)->Arg(100)->Iterations(3)->Unit(benchmark::kMillisecond);

// The same bytes read whole, then decoded: what decoding ahead must beat.
void BM_ReadLineThenDecode(benchmark::State& state) {
  const std::string line = load_line(static_cast<std::size_t>(state.range(0)));
  double wall = 0, cpu = 0, faults = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    const double faults_start = page_faults();
    bool ok = false;
    through_pipe(line, [&](int fd) {
      std::string read;
      char chunk[1 << 16];
      for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
        read.append(chunk, static_cast<std::size_t>(n));
      }
      ok = decode_request(std::string_view(read).substr(0, read.size() - 1)).has_value();
    });
    cpu += cpu_seconds() - cpu_start;
    faults += page_faults() - faults_start;
    wall += std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) state.SkipWithError("no request");
  }
  report(state, wall, cpu, faults);
}
BENCHMARK(BM_ReadLineThenDecode)->Arg(100)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mdspeak

BENCHMARK_MAIN();
