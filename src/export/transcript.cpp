#include "export/transcript.h"

#include <algorithm>
#include <cstdio>

namespace mdspeak::exporting {
namespace {

void append_escaped(std::string& out, std::string_view text, TranscriptFormat format) {
  if (format == TranscriptFormat::Srt) {
    out += text;
    return;
  }
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

TranscriptFormat transcript_format_for(std::string_view path) {
  if (path.size() >= 4) {
    std::string end(path.substr(path.size() - 4));
    for (char& c : end) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (end == ".srt") return TranscriptFormat::Srt;
  }
  return TranscriptFormat::WebVtt;
}

std::string cue_time(std::uint64_t ms, TranscriptFormat format) {
  char text[40];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu%c%03llu",
                static_cast<unsigned long long>(ms / 3'600'000),
                static_cast<unsigned long long>(ms / 60'000 % 60),
                static_cast<unsigned long long>(ms / 1000 % 60),
                format == TranscriptFormat::Srt ? ',' : '.',
                static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string TranscriptWriter::header() const {
  if (format_ == TranscriptFormat::Srt) return {};
  return "WEBVTT\n\nNOTE\nEach cue id names the Markdown source bytes the cue was read from: "
         "bytes START-END, END exclusive.\n\n";
}

void TranscriptWriter::add(const TimedUtterance& u, std::string& out) {
  const std::size_t index = utterances_++;
  if (u.words.empty()) return;
  auto cue = [&](char kind, std::size_t n, std::uint64_t source_start, std::uint64_t source_end,
                 std::uint64_t from, std::uint64_t to) {
    ++cues_;
    if (format_ == TranscriptFormat::Srt) {
      out += std::to_string(cues_);
    } else {
      out += kind;
      out += std::to_string(n);
      out += " bytes ";
      out += std::to_string(source_start);
      out += '-';
      out += std::to_string(source_end);
    }
    out += '\n';
    out += cue_time(from, format_);
    out += " --> ";
    // A cue lasts at least a millisecond.
    out += cue_time(std::max(to, from + 1), format_);
    out += '\n';
  };

  if (per_word_) {
    for (std::size_t i = 0; i < u.words.size(); ++i) {
      const TimedWord& w = u.words[i];
      const std::uint64_t to = i + 1 < u.words.size() ? u.words[i + 1].ms : u.end_ms;
      cue('w', cues_, w.source_start, w.source_end, w.ms, to);
      append_escaped(out, u.text.substr(w.text_begin, w.text_end - w.text_begin), format_);
      out += "\n\n";
    }
    return;
  }

  const std::uint64_t from = u.words.front().ms;
  const std::uint64_t to = std::max(u.end_ms, from + 1);
  cue('u', index, u.start_offset, u.end_offset, from, to);
  if (format_ == TranscriptFormat::Srt) {
    out += u.text;
    out += "\n\n";
    return;
  }
  // Timestamps must rise strictly inside the cue; a word whose mark does not is shown with the
  // word before it.
  std::uint64_t last = from;
  std::size_t done = 0;
  for (const TimedWord& w : u.words) {
    append_escaped(out, u.text.substr(done, w.text_begin - done), format_);
    if (w.ms > last && w.ms < to) {
      out += '<';
      out += cue_time(w.ms, format_);
      out += '>';
      last = w.ms;
    }
    out += "<c>";
    append_escaped(out, u.text.substr(w.text_begin, w.text_end - w.text_begin), format_);
    out += "</c>";
    done = w.text_end;
  }
  append_escaped(out, u.text.substr(done), format_);
  out += "\n\n";
}

}  // namespace mdspeak::exporting
