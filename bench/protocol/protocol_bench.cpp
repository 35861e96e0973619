// Throughput of the two hot protocol paths: reading a large load_document line and writing a
// large prepare_speech_result.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.h"

namespace mdspeak {
namespace {

// Markdown-like source with headings, lists, quotes, tables, some typography and accents.
std::string markdown_text(std::size_t size) {
  static const char* const kBlocks[] = {
      "# Chapter about caf\xC3\xA9s and na\xC3\xAFve readers\n\n",
      "The quick brown fox jumps over the lazy dog, and then it \"rests\" for a while \xE2\x80\x94 "
      "nobody knows why. Se\xC3\xB1or G\xC3\xB3mez said: \xE2\x80\x9C\xC2\xA1Hola!\xE2\x80\x9D\n\n",
      "- first item with `code` and a path C:\\temp\\file.txt\n- second item\n\t- nested\n\n",
      "> A quoted line that goes on for a bit longer than the others, with *emphasis*.\n\n",
      "| Name | Value |\n|------|-------|\n| \xC3\xBC | 42 |\n\n",
      "Plain prose follows here, a sentence of ordinary length with numbers 12345 and 678.\n",
  };
  std::string text;
  text.reserve(size + 512);
  for (std::size_t i = 0; text.size() < size; ++i) text += kBlocks[i % std::size(kBlocks)];
  return text;
}

// The text as a JSON string body; a few characters go through \u escapes as a client might send.
std::string json_string_body(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t count = 0;
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '|':
        out += (++count % 2 == 0) ? "\\u007c" : "|";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void BM_DecodeLoadDocument(benchmark::State& state) {
  const std::string text = markdown_text(static_cast<std::size_t>(state.range(0)));
  const std::string line =
      R"({"type":"load_document","id":"req-1","document_id":"doc-1","text":")" +
      json_string_body(text) + "\"}";
  for (auto _ : state) {
    auto request = decode_request(line);
    if (!request) state.SkipWithError("line did not decode");
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_DecodeLoadDocument)->Arg(10 << 20)->Unit(benchmark::kMillisecond);

void BM_EncodePrepareSpeechResult(benchmark::State& state) {
  const std::string text = markdown_text(4 << 20);
  PrepareSpeechResult result{"req-2", "doc-1", "en", {}};
  const auto count = static_cast<std::size_t>(state.range(0));
  std::size_t at = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t length = 60 + (i * 37) % 240;
    if (at + length > text.size()) at = 0;
    result.utterances.push_back(PreparedUtterance{i, std::string_view(text).substr(at, length), at,
                                                  at + length,
                                                  static_cast<PreparedUtteranceKind>(i % 5)});
    at += length;
  }
  const Message message = std::move(result);
  std::size_t written = 0;
  for (auto _ : state) {
    std::string out;
    encode_message(message, out);
    written = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * written));
  state.counters["output_bytes"] = static_cast<double>(written);
}
BENCHMARK(BM_EncodePrepareSpeechResult)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace mdspeak

BENCHMARK_MAIN();
