#include "export_view.h"

#include <algorithm>
#include <cstdio>

namespace mdspeak::client {

std::string spoken_duration(std::uint64_t ms) {
  const std::uint64_t seconds = (ms + 500) / 1000;
  const std::uint64_t h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
  if (h > 0) return std::to_string(h) + " h " + std::to_string(m) + " min";
  if (m > 0) return std::to_string(m) + " min " + std::to_string(s) + " s";
  return std::to_string(s) + " s";
}

std::string grouped(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string elapsed_text(double seconds) {
  if (seconds < 10) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
  }
  return spoken_duration(static_cast<std::uint64_t>(seconds * 1000));
}

std::string export_summary_line(const std::string& name, std::uint64_t duration_ms,
                                std::uint64_t chapters, std::uint64_t words,
                                double elapsed_seconds) {
  std::string line = name + ": " + spoken_duration(duration_ms);
  if (chapters > 0) {
    line += ", " + grouped(chapters) + (chapters == 1 ? " chapter" : " chapters");
  }
  line += ", " + grouped(words) + (words == 1 ? " word" : " words");
  return line + ", written in " + elapsed_text(elapsed_seconds);
}

std::string export_progress_line(std::uint64_t done, std::uint64_t total, std::uint64_t audio_ms,
                                 double elapsed_seconds, int width) {
  const double fraction = total == 0 ? 1.0 : std::min(1.0, double(done) / double(total));
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
  std::string tail = std::string("  ") + percent + "  " + spoken_duration(audio_ms) + " of audio";
  if (done > 0 && fraction < 1.0) {
    const double left = elapsed_seconds * (1.0 - fraction) / fraction;
    const auto s = static_cast<unsigned>(left + 0.5);
    char eta[32];
    std::snprintf(eta, sizeof eta, " · ~%u:%02u left", s / 60, s % 60);
    tail += eta;
  }
  // The bar takes what the text leaves, between 10 and 40 cells ("·" is one cell, two bytes).
  const int text_width = static_cast<int>(tail.size()) - (done > 0 && fraction < 1.0 ? 1 : 0);
  const int cells = std::clamp(width - text_width - 2, 10, 40);
  const int filled = static_cast<int>(fraction * cells);
  std::string bar = "[";
  for (int i = 0; i < cells; ++i) bar += i < filled ? "█" : "░";
  return bar + "]" + tail;
}

}  // namespace mdspeak::client
