// What mdspeak --output shows while it writes and when it is done.
#include "export_view.h"

#include <gtest/gtest.h>

namespace mdspeak::client {
namespace {

TEST(ExportView, SummaryLineNamesLengthChaptersWordsAndTime) {
  struct Case {
    std::uint64_t ms, chapters, words;
    double elapsed;
    std::string expected;
  };
  const Case cases[] = {
      {11'520'000, 24, 31'050, 125.2,
       "book.m4b: 3 h 12 min, 24 chapters, 31,050 words, written in 2 min 5 s"},
      {725'400, 1, 1, 0.44, "book.m4b: 12 min 5 s, 1 chapter, 1 word, written in 0.4 s"},
      {6'499, 0, 1'234'567, 9.96, "book.m4b: 6 s, 1,234,567 words, written in 10.0 s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(export_summary_line("book.m4b", c.ms, c.chapters, c.words, c.elapsed), c.expected);
  }
}

TEST(ExportView, ProgressLineFillsTheBarAndEstimatesTheRest) {
  // A quarter done in 10 s: 30 s left.
  const std::string quarter = export_progress_line(25, 100, 65'000, 10.0, 80);
  EXPECT_TRUE(quarter.ends_with(" 25%  1 min 5 s of audio · ~0:30 left")) << quarter;
  // Bar cells are three bytes each.
  EXPECT_TRUE(quarter.starts_with("[" + std::string("█") + "█")) << quarter;
  EXPECT_EQ(export_progress_line(0, 100, 0, 0.2, 80).find("left"), std::string::npos);
  const std::string done = export_progress_line(100, 100, 1000, 3.0, 80);
  EXPECT_NE(done.find("100%"), std::string::npos);
  EXPECT_EQ(done.find("░"), std::string::npos);
  // The whole line keeps to the width (bars never below 10 cells).
  for (int width : {60, 80, 200}) {
    const std::string line = export_progress_line(1, 3, 5000, 1.0, width);
    std::size_t cells = 0;
    for (unsigned char c : line) cells += (c & 0xC0) != 0x80;
    EXPECT_LE(cells, static_cast<std::size_t>(std::max(width, 40))) << line;
  }
}

}  // namespace
}  // namespace mdspeak::client
