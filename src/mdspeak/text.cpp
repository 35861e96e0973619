#include "text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mdspeak::client {

namespace {

bool continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

}  // namespace

LineIndex::LineIndex(std::string_view source) : source_(source) {
  starts_.push_back(0);
  const char* data = source.data();
  const char* end = data + source.size();
  for (const char* at = data; at < end;) {
    const auto* nl =
        static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
    if (nl == nullptr) break;
    starts_.push_back(static_cast<std::uint64_t>(nl - data) + 1);
    at = nl + 1;
  }
}

Position LineIndex::position(std::uint64_t offset) const {
  offset = std::min<std::uint64_t>(offset, source_.size());
  auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
  std::size_t line = static_cast<std::size_t>(after - starts_.begin());
  std::uint64_t start = starts_[line - 1];
  std::size_t column = 1;
  for (std::uint64_t i = start; i < offset; ++i) {
    if (!continuation(static_cast<unsigned char>(source_[i]))) ++column;
  }
  return {line, column};
}

std::uint64_t LineIndex::line_start(std::size_t line) const {
  if (line == 0) return 0;
  if (line > starts_.size()) return source_.size();
  return starts_[line - 1];
}

std::string format_position(Position p) {
  return std::to_string(p.line) + ":" + std::to_string(p.column);
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (unsigned char byte : text) {
    if (!continuation(byte) && byte >= 0x20 && byte != 0x7F) ++width;
  }
  return width;
}

std::string fit_width(std::string_view text, std::size_t width) {
  if (display_width(text) <= width) return std::string(text);
  if (width == 0) return {};
  // Keep width - 1 characters and add the ellipsis.
  std::size_t cells = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t next = i + 1;
    while (next < text.size() && continuation(static_cast<unsigned char>(text[next]))) ++next;
    if (cells + 1 > width - 1) break;
    ++cells;
    i = next;
  }
  return std::string(text.substr(0, i)) + "…";
}

std::vector<Span> wrap(std::string_view text, std::size_t width) {
  std::vector<Span> lines;
  width = std::max<std::size_t>(width, 1);
  std::size_t begin = 0;
  while (begin < text.size()) {
    // Walk characters until the line is full, remembering the last space.
    std::size_t cells = 0;
    std::size_t i = begin;
    std::size_t last_space = std::string_view::npos;
    while (i < text.size() && cells < width) {
      if (text[i] == ' ') last_space = i;
      std::size_t next = i + 1;
      while (next < text.size() && continuation(static_cast<unsigned char>(text[next]))) ++next;
      ++cells;
      i = next;
    }
    if (i >= text.size()) {
      lines.push_back({begin, text.size()});
      break;
    }
    if (text[i] == ' ') {
      lines.push_back({begin, i});
      begin = i + 1;
    } else if (last_space != std::string_view::npos && last_space > begin) {
      lines.push_back({begin, last_space});
      begin = last_space + 1;
    } else {
      lines.push_back({begin, i});  // a word longer than the line: cut it
      begin = i;
    }
  }
  return lines;
}

std::string format_duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  long total = std::lround(seconds);
  char buffer[32];
  if (total >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", total / 60, total % 60);
  }
  return buffer;
}

std::string one_line(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    auto c = static_cast<unsigned char>(out[i]);
    if (c < 0x20 || c == 0x7F) {
      out[i] = ' ';
    } else if (c == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0) {
      // U+0080..U+009F: C1 controls (U+009B starts a sequence on some terminals). Two spaces
      // keep every byte offset into the text.
      out[i] = out[i + 1] = ' ';
    }
  }
  return out;
}

std::optional<std::size_t> head_cut(std::string_view source, std::size_t at_least) {
  const std::size_t limit = std::min(source.size(), at_least * 8);
  char fence = 0;  // the open fence's character, 0 outside fenced code
  std::size_t fence_length = 0;
  bool after_blank = false;
  for (std::size_t start = 0; start < limit;) {
    std::size_t end = source.find('\n', start);
    if (end == std::string_view::npos) return std::nullopt;  // the last line: no head to cut
    std::string_view line = source.substr(start, end - start);
    const bool blank = line.find_first_not_of(" \t\r") == std::string_view::npos;
    if (fence == 0 && !blank && after_blank && start >= at_least && line[0] != ' ' &&
        line[0] != '\t') {
      return start;
    }
    // A fence opens or closes after up to three spaces, with three or more backticks or tildes.
    std::size_t indent = line.find_first_not_of(' ');
    if (indent != std::string_view::npos && indent < 4 &&
        (line[indent] == '`' || line[indent] == '~')) {
      const char c = line[indent];
      const std::size_t run = line.find_first_not_of(c, indent);
      const std::size_t length = (run == std::string_view::npos ? line.size() : run) - indent;
      if (length >= 3) {
        if (fence == 0) {
          fence = c;
          fence_length = length;
        } else if (c == fence && length >= fence_length &&
                   line.find_first_not_of(" \t\r", indent + length) == std::string_view::npos) {
          fence = 0;
        }
      }
    }
    after_blank = blank;
    start = end + 1;
  }
  return std::nullopt;
}

namespace {
constexpr double kTypicalCharsPerSecond = 14.0;  // at rate 1.0, until measured
constexpr double kTypicalWeight = 10.0;          // seconds of listening the typical speed counts as
constexpr double kSmoothingSeconds = 10.0;
constexpr double kMostChangePerSecond = 0.005;  // of the estimate
}  // namespace

double speaking_speed(std::size_t measured_chars, double measured_seconds) {
  measured_seconds = std::max(measured_seconds, 0.0);
  return (static_cast<double>(measured_chars) + kTypicalCharsPerSecond * kTypicalWeight) /
         (measured_seconds + kTypicalWeight);
}

double smooth_estimate(std::optional<double> previous, double target, double dt) {
  target = std::isfinite(target) ? std::max(target, 0.0) : 0.0;
  if (!previous || !std::isfinite(*previous)) return target;
  dt = std::isfinite(dt) ? std::max(dt, 0.0) : 0.0;
  double predicted = std::max(*previous - dt, 0.0);
  double step = (target - predicted) * (1 - std::exp(-dt / kSmoothingSeconds));
  double most = std::max(predicted * kMostChangePerSecond, 5.0) * dt;
  return std::max(predicted + std::clamp(step, -most, most), 0.0);
}

}  // namespace mdspeak::client
