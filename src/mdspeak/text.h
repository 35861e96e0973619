// Text helpers of the reader: source positions, terminal widths, wrapping, durations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mdspeak::client {

struct Position {
  std::size_t line = 1;    // 1-based
  std::size_t column = 1;  // 1-based, in characters (code points)
};

// Maps byte offsets of a UTF-8 source to line:column and lines to their first byte.
class LineIndex {
 public:
  explicit LineIndex(std::string_view source);
  Position position(std::uint64_t offset) const;
  // Byte offset where `line` (1-based) starts; the source's size for lines past the end.
  std::uint64_t line_start(std::size_t line) const;
  std::size_t line_count() const { return starts_.size(); }

 private:
  std::string_view source_;
  std::vector<std::uint64_t> starts_;
};

// "12:3".
std::string format_position(Position p);

// Characters (code points) shown for a UTF-8 string: one cell each, control bytes none.
std::size_t display_width(std::string_view text);
// The longest prefix of `text` that fits in `width` cells, ending with "…" when cut.
std::string fit_width(std::string_view text, std::size_t width);

// Splits `text` into lines of at most `width` cells, breaking at spaces where possible;
// each line is a half-open byte range of `text` (without the breaking space).
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};
std::vector<Span> wrap(std::string_view text, std::size_t width);

// "m:ss", or "h:mm:ss" from an hour on.
std::string format_duration(double seconds);

// The speaking speed in characters per second at rate 1.0: `measured_chars` heard in
// `measured_seconds`, weighed against a typical speed that counts as a few seconds of listening,
// so that the first measurements move the estimate gradually.
double speaking_speed(std::size_t measured_chars, double measured_seconds);
// The time-left estimate to show: `previous` counted down by the `dt` seconds spoken since, then
// moved toward `target` (what the text left takes at the measured speed) by a share that grows
// with `dt` and by at most 0.5% of itself per second. A better measurement shifts a long estimate
// over a minute or so, never by an hour at once; without `previous`, `target`.
double smooth_estimate(std::optional<double> previous, double target, double dt);

// Replaces control characters (tabs, line feeds, escapes, C1 controls) by as many spaces as
// bytes, so a text stays on one line, cannot drive the terminal, and keeps its offsets.
std::string one_line(std::string_view text);

// Where a long Markdown source can be cut so that its head reads as the start of the whole: at
// the first line from `at_least` bytes on that follows a blank line, lies outside fenced code and
// starts at the left margin (so it opens a block of its own, not a continuation or indented
// code). nullopt when no such line comes within eight times `at_least`, or before the end.
std::optional<std::size_t> head_cut(std::string_view source, std::size_t at_least);

}  // namespace mdspeak::client
