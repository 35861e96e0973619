// The reader's pure parts: positions, widths, input checks, arguments, the display.
#include <gtest/gtest.h>
#include <zlib.h>

#include <regex>

#include "display.h"
#include "input.h"
#include "options.h"
#include "text.h"
#include "utterances.h"

namespace mdspeak::reader {
namespace {

std::string strip_escapes(const std::string& s) {
  return std::regex_replace(s, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
}

TEST(LineIndex, PositionsCountCharactersFromOne) {
  const std::string source = "ab\nñé x\n\nlast";
  LineIndex index(source);
  struct Case {
    std::uint64_t offset;
    std::size_t line, column;
  } cases[] = {
      {0, 1, 1},   {2, 1, 3},   // the line feed itself is the column after the text
      {3, 2, 1},   {5, 2, 2},   // after the two bytes of ñ
      {8, 2, 4},   {10, 3, 1},  // empty line
      {11, 4, 1},  {15, 4, 5},  // end of source
      {999, 4, 5},              // past the end: clamped
  };
  for (auto c : cases) {
    auto p = index.position(c.offset);
    EXPECT_EQ(p.line, c.line) << c.offset;
    EXPECT_EQ(p.column, c.column) << c.offset;
  }
  EXPECT_EQ(index.line_start(2), 3u);
  EXPECT_EQ(index.line_start(4), 11u);
  EXPECT_EQ(index.line_start(5), source.size());
}

TEST(Text, WrapKeepsEveryWordWithinTheWidth) {
  const std::string text = "Quill is a small tool that reads your notes aloud, ñandú überall.";
  for (std::size_t width : {1u, 5u, 9u, 20u, 80u}) {
    std::string joined;
    for (auto [begin, end] : wrap(text, width)) {
      EXPECT_LE(display_width(text.substr(begin, end - begin)), width);
      joined += text.substr(begin, end - begin);
    }
    // Only breaking spaces are dropped; no character is lost or split.
    std::string without_spaces;
    for (char c : text) {
      if (c != ' ') without_spaces += c;
    }
    std::erase(joined, ' ');
    EXPECT_EQ(joined, without_spaces) << width;
  }
}

TEST(Text, OneLineLeavesNoControlAndKeepsEveryOffset) {
  for (auto [text, shown] : std::vector<std::pair<std::string, std::string>>{
           {"a\tb\r\nc", "a b  c"},
           {"x\x1b[2Jy\x7f", "x [2Jy "},
           {"\xc2\x9b"
            "31m\xc2\xa0é",
            "  31m\xc2\xa0é"},  // C1 CSI goes, no-break space stays
       }) {
    EXPECT_EQ(one_line(text), shown);
  }
  // Nor through the file name in the title.
  Frame f;
  f.title = "evil\x1b]0;owned\x07.md";
  EXPECT_EQ(render(f).find("\x1b]"), std::string::npos);
}

TEST(Text, FitWidthCutsWholeCharactersAndMarksTheCut) {
  EXPECT_EQ(fit_width("héllo", 5), "héllo");
  EXPECT_EQ(fit_width("héllo", 4), "hél…");
  EXPECT_EQ(fit_width("ñññ", 2), "ñ…");
  EXPECT_EQ(format_duration(59.6), "1:00");
  EXPECT_EQ(format_duration(3725), "1:02:05");
}

TEST(Text, HeadIsCutBeforeABlockAtTheMarginOutsideFencedCode) {
  struct Case {
    std::string source;
    std::optional<std::size_t> cut;
  } cases[] = {
      {"aaaa\n\nbbbb\n\ncccc\n", 6},
      {"aaaa\nbbbb\n\ncccc\n", 11},               // not before a line that follows text
      {"aaaa\n\n    code\n\n- item\n", 16},       // nor before indented code
      {"```\na\n\nb\n```\n\ncccc\n", 14},         // nor inside fenced code
      {"~~~~\na\n\n~~~\n\nb\n~~~~\n\ncc\n", 21},  // a shorter fence does not close it
      {"  ```\na\n\nb\n\n```\n\ncccc\n", 17},
      {"aaaa\r\n\r\nbbbb\r\n", 8},
      {"aaaa\n\nbbbb", std::nullopt},                                  // the last line, unfinished
      {"aaaa\n" + std::string(40, 'x') + "\n\nbbbb\n", std::nullopt},  // too far
  };
  for (const Case& c : cases) EXPECT_EQ(head_cut(c.source, 4), c.cut) << c.source;
}

TEST(Input, ChecksTextAndDecodesLatin1OnlyWhenAsked) {
  struct Case {
    std::string bytes;
    Encoding encoding;
    const char* expected;  // nullptr: refused
  } cases[] = {
      {"plain # text\n", Encoding::kUtf8, "plain # text\n"},
      {"caf\xc3\xa9", Encoding::kUtf8, "caf\xc3\xa9"},
      {"\xef\xbb\xbf# T\n\xef\xbb\xbf", Encoding::kUtf8, "# T\n\xef\xbb\xbf"},  // leading mark only
      {"caf\xe9", Encoding::kUtf8, nullptr},
      {"caf\xe9", Encoding::kLatin1, "caf\xc3\xa9"},
      {std::string("a\0b", 3), Encoding::kLatin1, nullptr},  // NUL: binary in any encoding
      {"\xc0\xaf", Encoding::kUtf8, nullptr},                // overlong
      {"\xed\xa0\x80", Encoding::kUtf8, nullptr},            // surrogate
      {"ok\xe2\x82", Encoding::kUtf8, nullptr},              // truncated at the end
      {"\xf4\x90\x80\x80", Encoding::kUtf8, nullptr},        // beyond U+10FFFF
  };
  for (auto& c : cases) {
    auto result = decode_text(c.bytes, c.encoding, "f.md");
    if (c.expected == nullptr) {
      ASSERT_FALSE(result) << c.bytes;
      EXPECT_TRUE(result.error().message.starts_with("f.md: ")) << result.error().message;
    } else {
      ASSERT_TRUE(result) << result.error().message;
      EXPECT_EQ(*result, c.expected);
    }
  }
}

std::string gzip(const std::string& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, data.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

TEST(Input, GunzipReadsEveryMemberAndRefusesDamage) {
  auto two = gzip("# One\n") + gzip("two\n");
  auto result = gunzip(two);
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "# One\ntwo\n");
  EXPECT_FALSE(gunzip(two.substr(0, two.size() / 2)));
  auto damaged = gzip("some text that compresses");
  damaged[12] ^= 0x55;
  EXPECT_FALSE(gunzip(damaged));
}

ParseOutcome parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mdspeak");
  return parse_options(static_cast<int>(args.size()), args.data());
}

TEST(Options, BadArgumentsExitTwoWithUsage) {
  std::vector<std::vector<const char*>> bad = {
      {},                          // no file
      {"--bogus", "f.md"},         // unknown option
      {"--rate", "2.5", "f.md"},   // out of range
      {"--rate", "fast", "f.md"},  // not a number
      {"--from", "0", "f.md"},     // lines count from 1
      {"--lines", "5:2", "f.md"},  // backwards
      {"--lines", "0:2", "f.md"},  // lines count from 1
      {"--bytes", "x:9", "f.md"},  // not a number
      {"--from", "3", "--lines", "1:2", "f.md"},
      {"--print", "--summary", "f.md"},
      {"--encoding", "ebcdic", "f.md"},
      {"--reading", "fast", "f.md"},
      {"--list-voices", "f.md"},
      {"a.md", "b.md"},
  };
  for (auto& args : bad) {
    auto outcome = parse(args);
    EXPECT_FALSE(outcome.options) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_NE(outcome.err.find("Usage: mdspeak"), std::string::npos);
  }
}

TEST(Options, GoodArguments) {
  auto help = parse({"--help"});
  EXPECT_FALSE(help.options);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--print-summary"), std::string::npos);

  auto o = parse({"--lines", "3:", "--rate", "1.5", "--voice", "es", "--encoding", "LATIN1", "-"});
  ASSERT_TRUE(o.options);
  EXPECT_EQ(o.options->file, "-");
  EXPECT_EQ(o.options->range.kind, RangeChoice::Kind::kLines);
  EXPECT_EQ(o.options->range.first, 3u);
  EXPECT_FALSE(o.options->range.last);
  EXPECT_FLOAT_EQ(o.options->rate, 1.5);
  EXPECT_EQ(o.options->voice, "es");
  EXPECT_EQ(o.options->encoding, Encoding::kLatin1);
  EXPECT_TRUE(o.options->natural_reading);
  EXPECT_FALSE(parse({"--reading", "spec", "f.md"}).options->natural_reading);
  EXPECT_TRUE(parse({"--reading", "natural", "f.md"}).options->natural_reading);
  EXPECT_TRUE(parse({"--list-voices"}).options);
}

TEST(Options, RangesBecomeByteRanges) {
  const std::string source = "# A\n\nline three\nfour\n";
  LineIndex lines(source);
  struct Case {
    RangeChoice choice;
    std::uint64_t start;
    std::optional<std::uint64_t> end;
  } cases[] = {
      {{RangeChoice::Kind::kAll, {}, {}}, 0, {}}, {{RangeChoice::Kind::kFrom, 3, {}}, 5, {}},
      {{RangeChoice::Kind::kLines, 3, 3}, 5, 16}, {{RangeChoice::Kind::kLines, {}, 1}, 0, 4},
      {{RangeChoice::Kind::kBytes, 2, 9}, 2, 9},
  };
  for (auto& c : cases) {
    auto range = resolve_range(c.choice, lines, source.size());
    ASSERT_TRUE(range);
    EXPECT_EQ(range->start, c.start);
    EXPECT_EQ(range->end, c.end);
  }
  EXPECT_FALSE(resolve_range({RangeChoice::Kind::kFrom, 9, {}}, lines, source.size()));
  EXPECT_FALSE(resolve_range({RangeChoice::Kind::kBytes, 99, {}}, lines, source.size()));
}

std::vector<Utterance> sample_list() {
  const std::string source = "# T\n\nOne.\n\n## Sub\n\n- two\n";
  LineIndex lines(source);
  auto json = nlohmann::json::parse(R"([
    {"utterance_index":0,"text":"T","start_offset":2,"end_offset":3,"kind":"heading"},
    {"utterance_index":1,"text":"One.","start_offset":5,"end_offset":9,"kind":"paragraph"},
    {"utterance_index":2,"text":"Sub","start_offset":14,"end_offset":17,"kind":"heading"},
    {"utterance_index":3,"text":"two","start_offset":21,"end_offset":24,"kind":"item"}])");
  return *utterances_from_json(json, lines);
}

TEST(Utterances, HeadingsNavigationAndLines) {
  auto list = sample_list();
  EXPECT_EQ(list[1].heading, 0u);
  EXPECT_EQ(list[3].heading, 2u);
  EXPECT_EQ(next_heading(list, 0), 2u);
  EXPECT_EQ(next_heading(list, 2), std::nullopt);
  EXPECT_EQ(previous_heading(list, 3), 2u);
  EXPECT_EQ(previous_heading(list, 0), std::nullopt);
  EXPECT_EQ(print_line(3, list[3], 12), " 3 item        7:3-7:6 two");
  EXPECT_EQ(plain_line(list[1]), "3:1 paragraph One.");
  EXPECT_FALSE(utterances_from_json(nlohmann::json::parse(R"([{"text":"x"}])"), LineIndex("")));
}

TEST(Utterances, MovesByBlocksOfSentencesThatShareARange) {
  const std::string source = "# T\n\nOne. Two. Three.\n\nFour.\n";
  auto list = *utterances_from_json(nlohmann::json::parse(R"([
    {"text":"T","start_offset":2,"end_offset":3,"kind":"heading"},
    {"text":"One.","start_offset":5,"end_offset":20,"kind":"paragraph"},
    {"text":"Two.","start_offset":5,"end_offset":20,"kind":"paragraph"},
    {"text":"Three.","start_offset":5,"end_offset":20,"kind":"paragraph"},
    {"text":"Four.","start_offset":22,"end_offset":27,"kind":"paragraph"}])"),
                                    LineIndex(source));
  // current -> next block, previous block
  struct Case {
    std::size_t current;
    std::optional<std::size_t> next, previous;
  } cases[] = {
      {0, 1, std::nullopt}, {1, 4, 0}, {2, 4, 1}, {3, 4, 1}, {4, std::nullopt, 1},
  };
  for (auto c : cases) {
    EXPECT_EQ(next_block(list, c.current), c.next) << c.current;
    EXPECT_EQ(previous_block(list, c.current), c.previous) << c.current;
  }
  EXPECT_EQ(first_selected(list, 5), 1u);
  EXPECT_EQ(first_selected(list, 19), 1u);  // inside the paragraph: all its sentences
  EXPECT_EQ(first_selected(list, 20), 4u);
  EXPECT_EQ(first_selected(list, 99), list.size());
}

TEST(Utterances, LocateFollowsTheOffsetsOfTheEvent) {
  auto list = sample_list();
  // base, event index, offsets -> list index
  struct Case {
    std::size_t base;
    std::uint64_t index, start, end;
    std::size_t expected;
  } cases[] = {
      {1, 0, 5, 9, 1},    // the request began at list index 1
      {1, 2, 21, 24, 3},  //
      {2, 0, 5, 9, 1},    // an earlier overlapping utterance was selected too
      {0, 1, 21, 24, 3},  // a summary skipped one: found by range
  };
  for (auto c : cases) EXPECT_EQ(locate(list, c.base, c.index, c.start, c.end), c.expected);
}

Frame sample_frame() {
  Frame f;
  f.title = "notes.md";
  f.status = "reading";
  f.playing = true;
  f.heading = "Install the whole thing";
  f.kind = "paragraph";
  f.position = "12:4";
  f.text = "Quill is a small tool that reads your notes aloud, and it highlights every word.";
  f.word = Span{11, 16};  // "small"
  f.index = 6;
  f.count = 20;
  f.elapsed = 75;
  f.remaining = 130;
  f.message = "rate 1.2×";
  return f;
}

TEST(Display, EveryLineFitsTheTerminalAndTheWordStays) {
  for (std::size_t width : {8u, 20u, 33u, 60u, 80u, 200u}) {
    for (std::size_t height : {1u, 3u, 4u, 9u, 12u, 40u}) {
      for (bool help : {false, true}) {
        auto f = sample_frame();
        f.width = width;
        f.height = height;
        f.help = help;
        auto lines = render_lines(f);
        // One line too many scrolls the screen at every redraw.
        EXPECT_LE(lines.size(), height) << width << "x" << height;
        std::string all;
        for (auto& line : lines) {
          EXPECT_LE(display_width(strip_escapes(line)), width) << width << ": " << line;
          all += line;
        }
        if (!help && width >= 20) {
          EXPECT_NE(all.find("small"), std::string::npos) << height;
        }
        if (height >= 4) {
          EXPECT_NE(all.find("/20"), std::string::npos) << height;
        }
      }
    }
  }
}

TEST(Display, ShowsTheWordPositionAndProgress) {
  auto f = sample_frame();
  f.width = 80;
  auto lines = render_lines(f);
  std::string all;
  for (auto& line : lines) all += line + "\n";
  EXPECT_NE(all.find("\x1b[1m\x1b[7msmall\x1b[27m"), std::string::npos);
  auto plain = strip_escapes(all);
  for (const char* part : {"notes.md", "reading · 1.0×", "§ Install the whole thing",
                           "paragraph  12:4", "7/20", "1:15 elapsed", "~2:10 left", "rate 1.2×"}) {
    EXPECT_NE(plain.find(part), std::string::npos) << part;
  }
  // 6 of 20 done: 30% of the bar.
  auto bar = plain.substr(plain.find('['), plain.find(']') - plain.find('['));
  std::size_t filled = 0, cells = 0;
  for (std::size_t i = 0; i < bar.size(); i += 3) {
    if (bar.compare(i, 3, "█") == 0) ++filled, ++cells;
    if (bar.compare(i, 3, "░") == 0) ++cells;
    if (bar[i] == '[') i -= 2;
  }
  EXPECT_EQ(filled, cells * 6 / 20);
}

TEST(Display, NoColorKeepsOnlyTheHighlight) {
  auto f = sample_frame();
  f.color = false;
  auto screen = render(f);
  EXPECT_EQ(std::regex_search(screen, std::regex("\x1b\\[(3[0-9]|2m|1;3)")), false);
  EXPECT_NE(screen.find("\x1b[7msmall"), std::string::npos);
}

TEST(Display, LongTextScrollsToKeepTheWordInView) {
  auto f = sample_frame();
  f.width = 24;
  f.height = 10;                                        // two rows of text
  f.word = Span{f.text.size() - 5, f.text.size() - 1};  // "word"
  auto plain = strip_escapes(render(f));
  EXPECT_NE(plain.find("word."), std::string::npos);
  EXPECT_EQ(plain.find("Quill"), std::string::npos);
}

}  // namespace
}  // namespace mdspeak::reader
