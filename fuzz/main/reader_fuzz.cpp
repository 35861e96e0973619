// Arbitrary bytes as the service's standard input, through the reader thread's own loop: its
// framing (line feeds, carriage returns, a last line without a line feed), the decoding of a
// long line while it still arrives (lines of 64 KB and more), and its stop at bytes that are
// not UTF-8. The requests it sends must be exactly those that decoding each line on its own
// gives, in order.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "common/channel.h"
#include "common/text.h"
#include "common/unicode.h"
#include "main/host.h"
#include "protocol/protocol.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// What the reader must send for `input`: each line decoded alone, up to a line that is not
// UTF-8.
std::vector<mdspeak::Request> expected(std::string_view input) {
  std::vector<mdspeak::Request> out;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
    if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    const std::string_view trimmed = mdspeak::text::trim(line);
    if (!trimmed.empty()) {
      if (auto request = mdspeak::decode_request(trimmed)) {
        out.push_back(std::move(*request));
        continue;
      }
    }
    if (!mdspeak::unicode::is_valid_utf8(line)) break;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  // A file in memory: reads come in the reader's own steps of 64 KB.
  const int fd = memfd_create("stdin", MFD_CLOEXEC);
  check(fd >= 0);
  check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  check(lseek(fd, 0, SEEK_SET) == 0);
  auto [sender, receiver] = mdspeak::make_channel<mdspeak::Request>();
  mdspeak::take_in_requests(fd, sender);
  close(fd);
  std::vector<mdspeak::Request> got;
  std::optional<mdspeak::Request> request;
  while (receiver.try_recv(request) == mdspeak::TryRecv::Value) {
    got.push_back(std::move(*request));
    request.reset();
  }
  check(got == expected(input));
  return 0;
}
