// mdspeak's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "input.h"
#include "text.h"

namespace mdspeak::client {

// A part of the document chosen on the command line, before the document is read.
struct RangeChoice {
  enum class Kind { kAll, kFrom, kLines, kBytes } kind = Kind::kAll;
  std::optional<std::uint64_t> first;  // line or byte; absent: from the start
  std::optional<std::uint64_t> last;   // line (inclusive) or byte (exclusive); absent: to the end
};

struct Options {
  std::string file;  // "-" for standard input
  bool summary = false;
  bool print = false;
  bool print_summary = false;
  bool list_voices = false;
  bool json = false;
  RangeChoice range;
  double rate = 1.0;
  std::optional<std::string> voice;
  Encoding encoding = Encoding::kUtf8;
  // Loaded with the service's natural reading (sentence by sentence, in source order, code
  // blocks announced) unless `--reading plain` asks for the plain one.
  bool natural_reading = true;
  // --output: write the reading to this audio file instead of speaking it.
  std::optional<std::string> output;
  std::optional<std::string> transcript;
  std::optional<std::string> format;
  unsigned chapters = 2;  // headings of this level or above start chapters
  // Whether to continue where this file was left: ask (on a terminal only), or decided by
  // --resume / --from-start.
  enum class Resume { kAsk, kYes, kNo } resume = Resume::kAsk;
  std::optional<double> sleep_seconds;  // --sleep: stop at the end of the sentence after it
  // --pronunciations: the pronunciation file instead of the one in the configuration directory.
  std::optional<std::string> pronunciations;
};

// "90s", "20m", "1h", "1h30m"; a bare number is minutes. Nothing when malformed or zero.
std::optional<double> parse_duration(std::string_view text);

// What parsing decided: run with `options`, or exit at once with `exit_code` after writing
// `out` to standard output and `err` to standard error (help, version, usage errors).
struct ParseOutcome {
  std::optional<Options> options;
  int exit_code = 0;
  std::string out;
  std::string err;
};

ParseOutcome parse_options(int argc, const char* const* argv);

// Byte range of the source that the chosen part covers; `end` absent means to the end.
struct ByteRange {
  std::uint64_t start = 0;
  std::optional<std::uint64_t> end;
};
Result<ByteRange> resolve_range(const RangeChoice& choice, const LineIndex& lines,
                                std::uint64_t source_size);

}  // namespace mdspeak::client
