// The reader's pure parts: positions, widths, input checks, arguments, the display.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "display.h"
#include "input.h"
#include "options.h"
#include "positions.h"
#include "text.h"
#include "utterances.h"
#include "voices.h"

namespace mdspeak::client {
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
      {"--resume", "--from-start", "f.md"},
      {"--resume", "--from", "3", "f.md"},
      {"--sleep", "soon", "f.md"},
      {"--sleep", "0m", "f.md"},
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
  EXPECT_FALSE(parse({"--reading", "plain", "f.md"}).options->natural_reading);
  EXPECT_TRUE(parse({"--reading", "natural", "f.md"}).options->natural_reading);
  EXPECT_TRUE(parse({"--list-voices"}).options);
  EXPECT_EQ(parse({"f.md"}).options->resume, Options::Resume::kAsk);
  EXPECT_EQ(parse({"--resume", "f.md"}).options->resume, Options::Resume::kYes);
  EXPECT_EQ(parse({"f.md", "--from-start"}).options->resume, Options::Resume::kNo);
  EXPECT_EQ(parse({"--sleep", "20m", "f.md"}).options->sleep_seconds, 1200.0);
}

TEST(Options, SleepDurations) {
  struct Case {
    const char* text;
    std::optional<double> seconds;
  } cases[] = {
      {"90s", 90},  {"20m", 1200}, {"1h", 3600}, {"1h30m", 5400}, {"15", 900},
      {"", {}},     {"0", {}},     {"m", {}},    {"20x", {}},     {"-5m", {}},
      {"1h30", {}}, {"1.5h", {}},  {" 5m", {}},
  };
  for (auto& c : cases) EXPECT_EQ(parse_duration(c.text), c.seconds) << c.text;
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

std::vector<PlacedUtterance> sample_list() {
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

  EXPECT_EQ(plain.find("sleep"), std::string::npos);
  f.sleep_left = 840;
  EXPECT_TRUE(strip_escapes(render_lines(f)[0]).ends_with("reading · 1.0× · sleep 14:00"))
      << render_lines(f)[0];
  f.voice = "English, voice Spanish (Spain)";
  EXPECT_TRUE(strip_escapes(render_lines(f)[0])
                  .ends_with("reading · 1.0× · English, voice Spanish (Spain) · sleep 14:00"))
      << render_lines(f)[0];
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
}  // namespace mdspeak::client

namespace mdspeak::client {
namespace {

SavedPosition saved(std::string path, std::uint64_t offset, std::string heading = "") {
  return {std::move(path), "d", offset, Position{2, 1}, std::move(heading), 0};
}

TEST(Positions, RememberKeepsOnePerFileMostRecentFirstAndBounded) {
  std::vector<SavedPosition> entries;
  entries = remember(entries, saved("/a.md", 1));
  entries = remember(entries, saved("/b.md", 2));
  entries = remember(entries, saved("/a.md", 3));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].path, "/a.md");
  EXPECT_EQ(entries[0].offset, 3u);
  EXPECT_EQ(entries[1].path, "/b.md");
  for (int i = 0; i < 5; ++i) entries = remember(entries, saved("/" + std::to_string(i), 0), 4);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].path, "/4");
  EXPECT_EQ(find_saved(entries, "/a.md"), nullptr);  // the oldest went first
  EXPECT_EQ(forget(entries, "/3").size(), 3u);
}

TEST(Positions, SerialisedEntriesParseBackAndDamageIsRefused) {
  auto entries = remember({}, {"/tab\there \"q\".md", "0123", 77, Position{12, 3}, "Install", 40});
  entries = remember(entries, saved("/b.md", 5, "ñandú"));
  auto back = parse_positions(serialise_positions(entries));
  ASSERT_TRUE(back);
  ASSERT_EQ(back->size(), 2u);
  const auto& a = (*back)[1];
  EXPECT_EQ(a.path, "/tab\there \"q\".md");
  EXPECT_EQ(a.digest, "0123");
  EXPECT_EQ(a.offset, 77u);
  EXPECT_EQ(a.at.line, 12u);
  EXPECT_EQ(a.at.column, 3u);
  EXPECT_EQ(a.heading, "Install");
  EXPECT_EQ(a.heading_offset, 40u);
  EXPECT_EQ((*back)[0].heading, "ñandú");

  for (const char* damaged : {"", "garbage", "{\"files\":[]}", "[1,2]",
                              "{\"format\":\"mdspeak-positions\",\"files\":{}}"}) {
    EXPECT_FALSE(parse_positions(damaged)) << damaged;
  }
  // A bad entry is dropped, the good ones kept.
  auto mixed = parse_positions(R"({"format":"mdspeak-positions","files":[
    {"path":"/x","digest":"d","offset":-1,"line":1,"column":1,"heading":"","heading_offset":0},
    {"path":"/y","digest":"d","offset":4,"line":0,"column":1,"heading":"","heading_offset":0},
    7,
    {"path":"/z","digest":"d","offset":4,"line":1,"column":1,"heading":"","heading_offset":0}]})");
  ASSERT_TRUE(mixed);
  ASSERT_EQ(mixed->size(), 1u);
  EXPECT_EQ((*mixed)[0].path, "/z");
}

TEST(Positions, DigestTellsContentsApart) {
  EXPECT_EQ(content_digest("# A\n"), content_digest("# A\n"));
  EXPECT_NE(content_digest("# A\n"), content_digest("# B\n"));
  EXPECT_NE(content_digest(""), content_digest(std::string(1, '\0')));
  EXPECT_EQ(content_digest("").size(), 16u);
}

TEST(Positions, AnEditedFileContinuesAtTheNearestHeadingOfTheSameText) {
  const std::string source = "# Notes\n\n## Install\n\nx\n\n## Use\n\n## Install\n";
  LineIndex lines(source);
  auto list = *utterances_from_json(nlohmann::json::parse(R"([
    {"text":"Notes","start_offset":2,"end_offset":7,"kind":"heading"},
    {"text":"Install","start_offset":12,"end_offset":19,"kind":"heading"},
    {"text":"x","start_offset":21,"end_offset":22,"kind":"paragraph"},
    {"text":"Use","start_offset":27,"end_offset":30,"kind":"heading"},
    {"text":"Install","start_offset":35,"end_offset":42,"kind":"heading"}])"),
                                    lines);
  struct Case {
    std::string heading;
    std::uint64_t heading_offset;
    std::optional<std::size_t> found;
  } cases[] = {
      {"Install", 10, 1}, {"Install", 40, 4}, {"Use", 0, 3},
      {"Gone", 12, {}},   {"", 0, {}},        {"x", 21, {}},  // a paragraph is no heading
  };
  for (auto& c : cases) {
    EXPECT_EQ(find_heading_again(list, {"/f", "old", 0, {}, c.heading, c.heading_offset}), c.found)
        << c.heading << " " << c.heading_offset;
  }
}

TEST(Positions, StoreReplacesTheFileWholeAndLoadTellsDamage) {
  namespace fs = std::filesystem;
  auto dir = fs::temp_directory_path() / ("mdspeak-positions-" + std::to_string(getpid()));
  fs::remove_all(dir);
  auto file = dir / "state" / "positions";
  auto empty = load_positions(file);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  ASSERT_TRUE(store_positions(file, {saved("/a.md", 9)}));
  auto loaded = load_positions(file);
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 1u);
  EXPECT_EQ((*loaded)[0].offset, 9u);
  std::size_t files = 0;
  for ([[maybe_unused]] auto& entry : fs::directory_iterator(dir / "state")) ++files;
  EXPECT_EQ(files, 1u);  // no temporary left behind
  std::ofstream(file) << "{\"format\":";
  EXPECT_FALSE(load_positions(file));
  // A directory where the file should be: an error to report, not a crash.
  fs::remove(file);
  fs::create_directories(file);
  EXPECT_FALSE(store_positions(file, {saved("/a.md", 9)}));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace mdspeak::client

namespace mdspeak::client {
namespace {

TEST(Utterances, WhereWordsGiveTheHeadingPathAndThePercent) {
  const std::string source =
      "# Guide\n\nIntro text.\n\n## Install\n\nRun it.\n\n### On *Debian*\n\nApt.\n\n"
      "Usage\n-----\n\nType.\n";
  LineIndex lines(source);
  auto at = [&](const char* text) { return source.find(text); };
  auto item = [&](const char* text, const char* kind, std::size_t length) {
    auto start = at(text);
    return nlohmann::json{{"text", std::string(text).substr(0, length)},
                          {"start_offset", start},
                          {"end_offset", start + length},
                          {"kind", kind}};
  };
  auto list = *utterances_from_json(
      nlohmann::json::array({item("Guide", "heading", 5), item("Intro text.", "paragraph", 11),
                             item("Install", "heading", 7), item("Run it.", "paragraph", 7),
                             item("On *Debian*", "heading", 11), item("Apt.", "paragraph", 4),
                             item("Usage", "heading", 5), item("Type.", "paragraph", 5)}),
      lines);
  EXPECT_EQ(heading_level(source, list[0]), 1);
  EXPECT_EQ(heading_level(source, list[4]), 3);
  EXPECT_EQ(heading_level(source, list[6]), 2);  // setext
  struct Case {
    std::size_t index;
    std::string words;
  } cases[] = {
      {0, "Section Guide; 0 percent."},
      {3, "Section Guide, Install; 41 percent."},
      {5, "Section Guide, Install, On \\*Debian\\*; 74 percent."},
      {7, "Section Guide, Usage; 90 percent."},  // a sibling replaces the deeper path
  };
  for (auto& c : cases) EXPECT_EQ(where_words(list, c.index, source), c.words) << c.index;
  list[0].heading.reset();
  list[1].heading.reset();
  EXPECT_EQ(where_words(list, 1, source), "Before the first heading; 9 percent.");
}

}  // namespace
}  // namespace mdspeak::client

namespace mdspeak::client {
namespace {

// Ticks of a quarter second, as the display redraws, toward a target that counts down as well.
double follow(double shown, double target, double seconds) {
  std::optional<double> estimate = shown;
  for (double t = 0; t < seconds; t += 0.25) estimate = smooth_estimate(estimate, target - t, 0.25);
  return *estimate;
}

TEST(Estimate, ALongEstimateMovesGraduallyAndThenSettles) {
  EXPECT_EQ(smooth_estimate(std::nullopt, 600, 5), 600);  // the first figure as it is
  EXPECT_EQ(smooth_estimate(100, 99, 1), 99);             // agreeing: a plain countdown
  EXPECT_EQ(smooth_estimate(100, 100, 0), 100);           // paused: no change
  EXPECT_EQ(smooth_estimate(3, 0, 5), 0);                 // never below zero
  struct Case {
    double shown, target, after, at_least, at_most;
  } cases[] = {
      // The reported jump: 3:45:16 to 2:45:52 within 10 s. Now: by minutes, not an hour.
      {13516, 9952, 10, 13516 - 10 - 900, 13516 - 10},
      {9952, 13516, 10, 9952 - 10, 9952 - 10 + 900},
      // A minute and a half later it agrees with the measurement.
      {13516, 9952, 90, 9952 - 90 - 60, 9952 - 90 + 60},
      // Short estimates settle within half a minute.
      {60, 40, 30, 10 - 2, 10 + 2},
  };
  for (auto& c : cases) {
    double value = follow(c.shown, c.target, c.after);
    EXPECT_GE(value, c.at_least) << c.shown << " -> " << c.target << " after " << c.after;
    EXPECT_LE(value, c.at_most) << c.shown << " -> " << c.target << " after " << c.after;
  }
}

TEST(Estimate, SpeakingSpeedLeansOnMeasurementAsItGrows) {
  EXPECT_DOUBLE_EQ(speaking_speed(0, 0), 14.0);
  double early = speaking_speed(50, 2.5);  // 20 chars/s heard for 2.5 s
  EXPECT_GT(early, 14.0);
  EXPECT_LT(early, 16.0);
  EXPECT_NEAR(speaking_speed(20 * 600, 600), 20.0, 0.2);
}

}  // namespace
}  // namespace mdspeak::client

namespace mdspeak::client {
namespace {

TEST(Voices, AnIdANameALocaleOrALanguageCaseInsensitively) {
  auto voices = nlohmann::json::parse(R"j([
    {"id":"en-us","name":"English (America)","locale":"en-US"},
    {"id":"es","name":"Spanish (Spain)","locale":"es-ES"},
    {"id":"es-419","name":"Spanish (Latin America)","locale":"es-419"},
    {"id":"Es-MX","name":"Mexican","locale":"es_MX"},
    {"name":"no id","locale":"fr-FR"}])j");
  struct Case {
    const char* asked;
    std::optional<std::string> id;
    bool exact;
  } cases[] = {
      {"es", "es", true},                            // an id first, though it is also a language
      {"EN-US", "en-us", false},                     // an id, any case
      {"spanish (latin america)", "es-419", false},  // a name
      {"es_mx", "Es-MX", false},                     // an id again, '_' as '-'
      {"es-MX", "Es-MX", false},
      {"ES-ES", "es", false},    // a locale
      {"spanish", "es", false},  // a language: the first, the service's best
      {"English", "en-us", false},
      {"fr-FR", {}, false},  // no id to send
      {"nosuch", {}, false},
      {"", {}, false},
  };
  for (auto& c : cases) {
    auto chosen = choose_voice(voices, c.asked);
    ASSERT_EQ(chosen.has_value(), c.id.has_value()) << c.asked;
    if (!chosen) continue;
    EXPECT_EQ(chosen->id, *c.id) << c.asked;
    EXPECT_EQ(chosen->exact, c.exact) << c.asked;
  }
  EXPECT_FALSE(choose_voice(nlohmann::json::object(), "es"));
}

}  // namespace
}  // namespace mdspeak::client
