// The cost of one redraw of the live display: building the frame's bytes, and how many bytes a
// redraw writes to the terminal.
#include <benchmark/benchmark.h>

#include "display.h"

namespace {

mdspeak::client::Frame frame(std::size_t width, std::size_t words) {
  mdspeak::client::Frame f;
  f.width = width;
  f.height = 40;
  f.title = "README.md";
  f.status = "reading";
  f.playing = true;
  f.heading = "Protocol extensions: word progress, pause and resume";
  f.kind = "paragraph";
  f.position = "67:25";
  for (std::size_t i = 0; i < words; ++i) f.text += i == 0 ? "word" : " word";
  f.word = mdspeak::client::Span{f.text.size() / 2, f.text.size() / 2 + 4};
  f.index = 27;
  f.count = 107;
  f.elapsed = 8;
  f.remaining = 622;
  return f;
}

void BM_RenderFrame(benchmark::State& state) {
  auto f =
      frame(static_cast<std::size_t>(state.range(0)), static_cast<std::size_t>(state.range(1)));
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto screen = mdspeak::client::render(f);
    bytes = screen.size();
    benchmark::DoNotOptimize(screen);
  }
  state.counters["bytes_per_redraw"] = static_cast<double>(bytes);
}
BENCHMARK(BM_RenderFrame)->Args({80, 20})->Args({200, 20})->Args({80, 300});

}  // namespace

BENCHMARK_MAIN();
