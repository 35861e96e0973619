// The transcript of an export: WebVTT (or SRT), timed by the synthesizer's own word positions in
// the rendered audio, so that it cannot drift from the sound.
//
// WebVTT: one cue per utterance whose words carry karaoke timestamps
// (`<c>Quill</c> <00:00:01.250><c>reads</c>`), or one cue per word; every cue's id names the
// source bytes it came from (`u3 bytes 9-59`, `w12 bytes 15-20`), so an editor can seek to it.
// SRT has no room for ids or tags: numbered cues of plain text. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mdspeak::exporting {

enum class TranscriptFormat : std::uint8_t { WebVtt, Srt };

// SRT for a path ending in .srt (any case), WebVTT otherwise.
TranscriptFormat transcript_format_for(std::string_view path);

struct TimedWord {
  std::size_t text_begin = 0;  // the word's bytes in the utterance text
  std::size_t text_end = 0;
  std::uint64_t source_start = 0;  // the source bytes that produced it
  std::uint64_t source_end = 0;
  std::uint64_t ms = 0;  // when its sound begins in the file
};

struct TimedUtterance {
  std::string_view text;
  std::uint64_t start_offset = 0;
  std::uint64_t end_offset = 0;
  std::uint64_t start_ms = 0;  // where its audio begins and ends in the file
  std::uint64_t end_ms = 0;
  std::vector<TimedWord> words;
};

class TranscriptWriter {
 public:
  TranscriptWriter(TranscriptFormat format, bool per_word) : format_(format), per_word_(per_word) {}

  // What the file starts with.
  std::string header() const;
  // Appends the cues of the next utterance (none when it has no words).
  void add(const TimedUtterance& utterance, std::string& out);

 private:
  TranscriptFormat format_;
  bool per_word_;
  std::uint64_t cues_ = 0;
  std::uint64_t utterances_ = 0;
};

// "01:02:03.045" (WebVTT) or "01:02:03,045" (SRT).
std::string cue_time(std::uint64_t ms, TranscriptFormat format);

}  // namespace mdspeak::exporting
