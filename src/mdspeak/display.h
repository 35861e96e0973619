// The live display: one screen of text drawn from the reader's state. Pure: the same frame
// always gives the same bytes, so it is tested without a terminal.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "text.h"

namespace mdspeak::client {

struct Frame {
  std::size_t width = 80;
  std::size_t height = 24;
  bool color = true;
  std::string title;   // the file's name
  std::string status;  // "reading", "paused", "summary", "finished", ...
  bool playing = false;
  double rate = 1.0;
  std::string voice;         // the language spoken and, when one was asked for, the voice's name
  std::string heading;       // the heading the utterance sits under, if any
  std::string kind;          // the utterance's kind
  std::string position;      // "line:col"
  std::string text;          // the utterance's text
  std::optional<Span> word;  // bytes of `text` being spoken
  std::size_t index = 0;     // 0-based
  std::size_t count = 0;
  double elapsed = 0;
  std::optional<double> remaining;
  std::optional<double> sleep_left;  // the sleep timer's seconds, when one is set
  std::string message;               // a passing note (rate changed, no previous heading, ...)
  bool help = false;
};

// The screen's lines, without cursor movement; none wider than `width` cells.
std::vector<std::string> render_lines(const Frame& frame);

// The bytes that redraw the screen in place: home, each line cleared to its end, the rest of
// the screen cleared. One write, so there is no flicker.
std::string render(const Frame& frame);

}  // namespace mdspeak::client
