// What `mdspeak --output` shows: the progress line while the file is written and the one line
// that says what was written. Pure functions of the service's numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mdspeak::client {

// "3 h 12 min", "12 min 5 s", "6 s" (rounded to the second).
std::string spoken_duration(std::uint64_t ms);
// "31,050".
std::string grouped(std::uint64_t number);
// "2 min 5 s", "0.4 s".
std::string elapsed_text(double seconds);

// "book.m4b: 3 h 12 min, 24 chapters, 31,050 words, written in 2 min 5 s".
std::string export_summary_line(const std::string& name, std::uint64_t duration_ms,
                                std::uint64_t chapters, std::uint64_t words,
                                double elapsed_seconds);

// "[██████░░░░]  45%  12 min 5 s of audio · ~0:06 left", `width` columns at most; no estimate
// before anything is done.
std::string export_progress_line(std::uint64_t done, std::uint64_t total, std::uint64_t audio_ms,
                                 double elapsed_seconds, int width);

}  // namespace mdspeak::client
