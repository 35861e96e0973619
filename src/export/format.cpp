#include "export/encoder.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace mdspeak::exporting {
namespace {

// Speech is mono and band-limited: these rates are transparent for espeak-ng's voices.
constexpr FormatInfo kFormats[] = {
    {Format::Wav, "wav", "wav", "pcm_s16le", 0},
    {Format::Flac, "flac", "flac", "flac", 0},
    {Format::Opus, "opus", "ogg", "libopus", 32000},
    {Format::Vorbis, "vorbis", "ogg", "libvorbis", 48000},
    {Format::Mp3, "mp3", "mp3", "libmp3lame", 48000},
    {Format::M4b, "m4b", "ipod", "aac", 48000},
};

}  // namespace

const FormatInfo& format_info(Format format) {
  return kFormats[static_cast<std::size_t>(format)];
}

std::string_view format_name(Format format) {
  return format_info(format).name;
}

std::optional<Format> format_named(std::string_view name) {
  for (const FormatInfo& f : kFormats) {
    if (f.name == name) return f.format;
  }
  return std::nullopt;
}

std::optional<Format> format_for_path(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return std::nullopt;
  }
  std::string extension(path.substr(dot + 1));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension == "ogg" || extension == "oga") return Format::Vorbis;
  if (extension == "m4a" || extension == "mp4") return Format::M4b;
  return format_named(extension);
}

bool has_chapters(Format format) {
  return format != Format::Wav;
}

std::string write_failure_text(int error_number) {
  switch (error_number) {
    case ENOSPC:
      return "no space left on the device";
    case EDQUOT:
      return "the disk quota is exhausted";
    case EFBIG:
      return "the file size limit was reached";
    default:
      return std::strerror(error_number);
  }
}

}  // namespace mdspeak::exporting
