#include "input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/unicode.h"

namespace mdspeak::client {

namespace {

// Larger documents are not something a person listens to; this also stops a gzip bomb.
constexpr std::size_t kMaxDocumentBytes = 256u << 20;

Result<std::string> read_all(int fd, const std::string& name) {
  // A file's size is known: its bytes are read straight into their place, in one piece, without
  // zero-filling or copying them first (10 MB: 40 ms less before the first word).
  std::string data;
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    data.reserve(std::min<std::size_t>(static_cast<std::size_t>(info.st_size), kMaxDocumentBytes) +
                 1);
  }
  std::size_t size = 0;
  for (;;) {
    std::size_t room = data.capacity() - size;
    if (room == 0) room = std::max<std::size_t>(65536, size);
    ssize_t n = 0;
    data.resize_and_overwrite(size + room, [&](char* bytes, std::size_t) {
      n = ::read(fd, bytes + size, room);
      return size + static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    });
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error(name + ": cannot read: " + std::strerror(errno)));
    }
    const std::size_t got = static_cast<std::size_t>(n);
    size += got;
    // A binary file (or /dev/zero) is refused as soon as it shows, not after 256 MiB of it;
    // compressed data holds NUL bytes of its own and is judged once decompressed.
    if (size >= 2 && !data.starts_with("\x1F\x8B") &&
        std::memchr(data.data() + size - got, '\0', got) != nullptr) {
      return fail(Error(name + ": not a text file (it holds NUL bytes)"));
    }
    if (size > kMaxDocumentBytes) return fail(Error(name + ": too large to read aloud"));
  }
  return data;
}

}  // namespace

Result<std::string> gunzip(std::string_view data) {
  std::string out;
  z_stream stream{};
  // 16 + MAX_WBITS: gzip wrapper only.
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return fail(Error("cannot start zlib"));
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  char buffer[65536];
  for (;;) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    int status = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - stream.avail_out);
    if (out.size() > kMaxDocumentBytes) {
      inflateEnd(&stream);
      return fail(Error("too large to read aloud once decompressed"));
    }
    if (status == Z_STREAM_END) {
      if (stream.avail_in == 0) break;
      inflateReset(&stream);  // another gzip member follows
      continue;
    }
    if (status != Z_OK) {
      inflateEnd(&stream);
      return fail(Error("damaged gzip data"));
    }
    if (stream.avail_in == 0 && stream.avail_out != 0) {
      inflateEnd(&stream);
      return fail(Error("truncated gzip data"));
    }
  }
  inflateEnd(&stream);
  return out;
}

Result<std::string> decode_text(std::string bytes, Encoding encoding, std::string_view name) {
  std::string label(name);
  if (bytes.find('\0') != std::string::npos) {
    return fail(Error(label + ": not a text file (it holds NUL bytes)"));
  }
  if (encoding == Encoding::kLatin1) {
    std::string utf8;
    utf8.reserve(bytes.size() + bytes.size() / 8);
    for (unsigned char c : bytes) unicode::append_utf8(utf8, c);  // Latin-1 is U+0000-U+00FF
    return utf8;
  }
  std::size_t bad = unicode::first_invalid_utf8(bytes);
  if (bad != std::string_view::npos) {
    return fail(Error(label + ": not valid UTF-8 (byte " + std::to_string(bad) +
                      "); if it is Latin-1 text, use --encoding latin1"));
  }
  // A byte-order mark (files saved on Windows) would hide the first line's Markdown, and it is
  // not text: editors drop it too.
  if (bytes.starts_with("\xef\xbb\xbf")) bytes.erase(0, 3);
  return bytes;
}

Result<std::string> read_document(const std::string& path, Encoding encoding) {
  bool from_stdin = path == "-";
  std::string name = from_stdin ? "standard input" : path;
  int fd = from_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(Error(name + ": " + std::strerror(errno)));
  struct stat info {};
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    if (!from_stdin) ::close(fd);
    return fail(Error(name + ": is a directory, not a Markdown file"));
  }
  auto data = read_all(fd, name);
  if (!from_stdin) ::close(fd);
  if (!data) return fail(data.error());
  std::string bytes = std::move(*data);
  // Compressed files are recognised by their content, whatever their name.
  if (std::string_view(bytes).starts_with("\x1F\x8B")) {
    auto plain = gunzip(bytes);
    if (!plain) return fail(Error(name + ": " + plain.error().message));
    bytes = std::move(*plain);
  }
  return decode_text(std::move(bytes), encoding, name);
}

}  // namespace mdspeak::client
