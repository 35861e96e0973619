#include "display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace mdspeak::client {

namespace {

constexpr const char* kReset = "\x1b[0m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kDim = "\x1b[2m";
constexpr const char* kReverse = "\x1b[7m";
constexpr const char* kNoReverse = "\x1b[27m";
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";

constexpr std::size_t kIndent = 2;

// Text fitted to the width, wrapped in attributes that do not count as cells.
std::string styled(std::string_view text, std::size_t width, std::string_view style) {
  std::string fitted = fit_width(text, width);
  if (style.empty() || fitted.empty()) return fitted;
  return std::string(style) + fitted + kReset;
}

std::string color_if(const Frame& f, const char* code) {
  return f.color ? code : "";
}

std::string progress_line(const Frame& f) {
  std::size_t shown = f.count == 0 ? 0 : std::min(f.index + 1, f.count);
  std::string counter = std::to_string(shown) + "/" + std::to_string(f.count);
  std::string times = format_duration(f.elapsed) + " elapsed";
  if (f.remaining) times += " · ~" + format_duration(*f.remaining) + " left";
  std::string tail = "  " + counter + "  " + times;
  std::size_t tail_width = display_width(tail);
  // The bar takes what is left, between 10 and 40 cells; dropped on very narrow terminals.
  if (f.width < tail_width + 12) return fit_width(counter + "  " + times, f.width);
  std::size_t bar = std::min<std::size_t>(40, f.width - tail_width - 2);
  double done = f.count == 0 ? 0.0 : static_cast<double>(f.index) / static_cast<double>(f.count);
  auto filled = static_cast<std::size_t>(std::floor(done * static_cast<double>(bar)));
  std::string line = "[" + color_if(f, kGreen);
  for (std::size_t i = 0; i < bar; ++i) line += i < filled ? "█" : "░";
  line += (f.color ? kReset : "") + std::string("]") + tail;
  return line;
}

// The utterance's lines with the word highlighted, at most `rows`, keeping the word in view.
std::vector<std::string> text_lines(const Frame& f, std::size_t rows) {
  // Two cells stay free for the " …" that marks text cut below.
  std::size_t width = f.width > kIndent + 3 ? f.width - kIndent - 2 : 1;
  std::string text = one_line(f.text);
  auto spans = wrap(text, width);
  std::size_t first = 0;
  if (spans.size() > rows && f.word) {
    std::size_t word_line = 0;
    for (std::size_t i = 0; i < spans.size(); ++i) {
      if (spans[i].begin <= f.word->begin) word_line = i;
    }
    if (word_line >= rows) first = std::min(word_line - rows / 2, spans.size() - rows);
  }
  std::vector<std::string> lines;
  for (std::size_t i = first; i < spans.size() && lines.size() < rows; ++i) {
    auto [begin, end] = spans[i];
    std::string line(kIndent, ' ');
    if (f.word && f.word->begin < end && f.word->end > begin) {
      std::size_t a = std::max(begin, f.word->begin), b = std::min(end, f.word->end);
      line += text.substr(begin, a - begin) + kBold + kReverse + text.substr(a, b - a) +
              kNoReverse + kReset + text.substr(b, end - b);
    } else {
      line += text.substr(begin, end - begin);
    }
    lines.push_back(std::move(line));
  }
  bool cut_below = first + rows < spans.size();
  if (cut_below && !lines.empty()) lines.back() += " …";
  return lines;
}

std::vector<std::string> help_lines() {
  return {"  space  pause / resume",
          "  n  p   next / previous utterance",
          "  ]  [   next / previous heading",
          "  +  -   rate up / down by 0.1",
          "  s      speak the summary (again: back to the document)",
          "  t      sleep timer: off, 15, 30, 60 min (stops after a sentence)",
          "  w      say where this is: heading and percent read",
          "  q      stop and quit (Ctrl-C too)",
          "  Ctrl-Z pause and suspend (fg: back, paused)",
          "  ?      this help"};
}

}  // namespace

std::vector<std::string> render_lines(const Frame& f) {
  std::vector<std::string> lines;
  std::size_t w = std::max<std::size_t>(f.width, 1);

  char rate[32];
  std::snprintf(rate, sizeof rate, "%.1f×", f.rate);
  std::string right = std::string(f.playing ? "▶ " : "⏸ ") + f.status + " · " + rate;
  if (!f.voice.empty()) right += " · " + one_line(f.voice);
  if (f.sleep_left) right += " · sleep " + format_duration(*f.sleep_left);
  std::string left = "mdspeak · " + one_line(f.title);  // a file name can hold anything
  std::size_t right_width = display_width(right);
  if (w > right_width + 4) {
    std::string l = fit_width(left, w - right_width - 2);
    std::size_t gap = w - display_width(l) - right_width;
    lines.push_back(color_if(f, kBold) + l + (f.color ? kReset : "") + std::string(gap, ' ') +
                    color_if(f, f.playing ? kGreen : kYellow) + right + (f.color ? kReset : ""));
  } else {
    lines.push_back(fit_width(right, w));
  }

  lines.push_back(f.heading.empty()
                      ? std::string()
                      : styled("§ " + one_line(f.heading), w, f.color ? "\x1b[1;36m" : kBold));
  std::string where = f.kind + (f.position.empty() ? "" : "  " + f.position);
  lines.push_back(styled(where, w, f.color ? kDim : ""));
  lines.emplace_back();

  // Fixed rows: title, heading, kind, blank | text | blank, progress, keys, message.
  std::size_t rows = f.height > 9 ? f.height - 8 : 1;
  auto body = f.help ? help_lines() : text_lines(f, rows);
  for (auto& line : body) {
    lines.push_back(f.help ? fit_width(line, w) : std::move(line));
  }
  lines.emplace_back();
  lines.push_back(progress_line(f));
  lines.push_back(
      styled("space pause  n/p next/prev  ]/[ heading  +/- rate  s summary  ? help  q quit", w,
             f.color ? kDim : ""));
  if (!f.message.empty()) lines.push_back(styled(f.message, w, f.color ? kCyan : ""));

  // A line more than the terminal holds would scroll the screen at every redraw and push the
  // title out: on short terminals the least useful lines go first, the spoken text last.
  std::size_t height = std::max<std::size_t>(f.height, 1);
  if (lines.size() > height) {
    std::size_t body_end = 4 + body.size();
    std::vector<std::size_t> drop_order = {3, body_end, body_end + 2, 1, 2};
    if (!f.message.empty()) drop_order.push_back(body_end + 3);
    for (std::size_t i = body_end; i-- > 5;) drop_order.push_back(i);  // rows of help, from below
    drop_order.push_back(0);
    drop_order.push_back(body_end + 1);
    std::vector<bool> dropped(lines.size(), false);
    std::size_t left = lines.size();
    for (std::size_t i : drop_order) {
      if (left <= height) break;
      dropped[i] = true;
      --left;
    }
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!dropped[i]) kept.push_back(std::move(lines[i]));
    }
    lines = std::move(kept);
  }
  return lines;
}

std::string render(const Frame& frame) {
  std::string out = "\x1b[H";
  auto lines = render_lines(frame);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    out += lines[i];
    out += "\x1b[K";
    if (i + 1 < lines.size()) out += "\r\n";
  }
  out += "\x1b[J";
  return out;
}

}  // namespace mdspeak::client
