// Streamed encoding of mono 16-bit speech into one audio file, with chapters and tags, through
// libavcodec and libavformat: one code path for every format, and the muxers write each
// format's own chapter form (Vorbis comments in Ogg and FLAC, ID3v2 CHAP/CTOC in MP3, a chapter
// track in MP4).
//
// Chapter times are known only once the speech before them is rendered, while Ogg, FLAC, MP3
// and MP4 want them in the header. The encoded packets therefore go to a spool file first (a
// few kilobytes a second; memory stays flat however long the book), and the file is written in
// one pass once `finish` knows the chapters. WAV has no chapters and is written straight away.
// One thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace mdspeak::exporting {

enum class Format : std::uint8_t { Wav, Flac, Opus, Vorbis, Mp3, M4b };

// "wav", "flac", "opus", "vorbis", "mp3", "m4b".
std::string_view format_name(Format format);
std::optional<Format> format_named(std::string_view name);
// By the path's extension: .wav, .flac, .opus, .ogg/.oga (Vorbis), .mp3, .m4b/.m4a/.mp4.
std::optional<Format> format_for_path(std::string_view path);
bool has_chapters(Format format);

// How FFmpeg writes a format.
struct FormatInfo {
  Format format;
  std::string_view name;
  const char* muxer;
  const char* encoder;
  std::int64_t bit_rate;  // 0: the codec's own (lossless)
};
const FormatInfo& format_info(Format format);

struct Chapter {
  std::uint64_t start_ms = 0;
  std::uint64_t end_ms = 0;
  std::string title;
};

struct Tags {
  std::string title;
  std::string artist;
  std::string comment;
};

class Encoder {
 public:
  // Encodes samples at `input_rate` into `out_fd` (an empty file opened for writing), using
  // `spool_fd` (an empty anonymous file) for formats that hold chapters. Neither is closed.
  static Result<std::unique_ptr<Encoder>> open(Format format, int input_rate, int out_fd,
                                               int spool_fd, const Tags& tags);
  ~Encoder();
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  Result<void> write(std::span<const std::int16_t> samples);
  // Flushes the encoder and writes the file with `chapters` (times in milliseconds).
  Result<void> finish(const std::vector<Chapter>& chapters);

  struct State;

 private:
  explicit Encoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// A write error's cause in words: "no space left on the device", "the file size limit was
// reached", or the system's text.
std::string write_failure_text(int error_number);

}  // namespace mdspeak::exporting
