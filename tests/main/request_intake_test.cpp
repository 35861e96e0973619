// The request intake on a pipe: framing across reads, lines far longer than one read, and where
// reading stops.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "main/host.h"

namespace mdspeak {
namespace {

using namespace std::string_literals;

// Everything `take_in_requests` sends for `input`, written from another thread in pieces of
// `piece` bytes so that lines straddle reads.
std::vector<Request> requests_for(const std::string& input, std::size_t piece) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < input.size(); at += piece) {
      const std::size_t n = std::min(piece, input.size() - at);
      EXPECT_EQ(write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
    }
    close(fds[1]);
  });
  auto [sender, receiver] = make_channel<Request>();
  take_in_requests(fds[0], sender);
  writer.join();
  close(fds[0]);
  std::vector<Request> out;
  std::optional<Request> request;
  while (receiver.try_recv(request) == TryRecv::Value) out.push_back(std::move(*request));
  return out;
}

TEST(RequestIntake, FramesLinesWhateverTheReadsCut) {
  std::string text(3 << 20, 'x');
  for (std::size_t i = 0; i < text.size(); i += 1000) text[i] = '\n';
  std::string escaped;
  for (char c : text) escaped += c == '\n' ? "\\n"s : std::string(1, c);
  const std::string big = R"(["load_document","1","d",")" + escaped + "\"]";
  std::string bad_big = big;
  bad_big[bad_big.size() / 2] = '\t';
  struct Case {
    std::string input;
    std::vector<Request> expected;
  };
  const std::vector<Case> cases = {
      {"[\"stop\",\"a\"]\r\n\n \t\n[\"stop\",\"b\"]", {Stop{"a"}, Stop{"b"}}},
      // Lines that do not decode are skipped; reading goes on.
      {"nope\n[\"stop\",\"a\"\n[\"stop\",\"b\"]\n", {Stop{"b"}}},
      // A line that is not UTF-8 ends reading.
      {"[\"stop\",\"a\"]\n\xFF\n[\"stop\",\"b\"]\n", {Stop{"a"}}},
      {"[\"stop\",\"a\"]\n[\"stop\",\"\xC3\"]\n[\"stop\",\"b\"]\n", {Stop{"a"}}},
      // A line many reads long, between short ones.
      {"[\"stop\",\"a\"]\n" + big + "\r\n[\"stop\",\"b\"]\n",
       {Stop{"a"}, LoadDocument{"1", "d", text}, Stop{"b"}}},
      {big, {LoadDocument{"1", "d", text}}},
      // A long line decoded while it arrives that turns out bad deep inside is refused whole.
      {bad_big + "\n[\"stop\",\"b\"]\n", {Stop{"b"}}},
  };
  for (const Case& c : cases) {
    for (const std::size_t piece : {std::size_t{1} << 20, std::size_t{4099}, std::size_t{7}}) {
      if (piece == 7 && c.input.size() > 1000) continue;  // byte-sized pieces for short input
      SCOPED_TRACE(c.input.substr(0, 40) + " in pieces of " + std::to_string(piece));
      EXPECT_EQ(requests_for(c.input, piece), c.expected);
    }
  }
}

}  // namespace
}  // namespace mdspeak
