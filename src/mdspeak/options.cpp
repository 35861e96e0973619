#include "options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdio>

namespace mdspeak::client {

namespace {

std::optional<std::uint64_t> parse_number(std::string_view text) {
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return {};
  return value;
}

// "A:B", "A:", ":B" -> the two bounds; nothing when malformed.
std::optional<RangeChoice> parse_pair(const std::string& text, RangeChoice::Kind kind) {
  auto colon = text.find(':');
  if (colon == std::string::npos || text == ":") return {};
  RangeChoice choice;
  choice.kind = kind;
  std::string_view whole(text);
  auto first = whole.substr(0, colon);
  auto last = whole.substr(colon + 1);
  if (!first.empty() && !(choice.first = parse_number(first))) return {};
  if (!last.empty() && !(choice.last = parse_number(last))) return {};
  return choice;
}

// Help lines show an option's value name alone, without CLI11's exclusion and validator notes.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_type_size() == 0) return "";
    return " " + option->get_type_name();
  }
};

}  // namespace

std::optional<double> parse_duration(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double total = 0;
  while (!text.empty()) {
    std::uint64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || number > 1'000'000) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    double unit = 60;
    if (!text.empty()) {
      switch (text.front()) {
        case 's':
          unit = 1;
          break;
        case 'm':
          unit = 60;
          break;
        case 'h':
          unit = 3600;
          break;
        default:
          return std::nullopt;
      }
      text.remove_prefix(1);
    } else if (total > 0) {
      return std::nullopt;  // "1h30" is ambiguous
    }
    total += static_cast<double>(number) * unit;
  }
  if (total <= 0) return std::nullopt;
  return total;
}

namespace {

// What the command line gives as text, checked and turned into `Options` after parsing.
struct RawArguments {
  std::string lines, bytes, encoding = "utf-8", reading = "natural", sleep;
  std::uint64_t from = 0;
  bool resume = false, from_start = false;
  CLI::Option* from_option = nullptr;
  CLI::Option* lines_option = nullptr;
  CLI::Option* bytes_option = nullptr;
  CLI::Option* sleep_option = nullptr;
};

void declare_options(CLI::App& app, Options& options, RawArguments& raw) {
  app.add_option("FILE", options.file,
                 "Markdown file to read (- for standard input; .gz is read too)");
  auto* summary = app.add_flag("--summary", options.summary, "Speak the document's spoken summary");
  auto* print =
      app.add_flag("--print", options.print,
                   "Print the utterances (index, kind, line:col-line:col, text); speak nothing");
  auto* print_summary = app.add_flag("--print-summary", options.print_summary,
                                     "Print the summary's utterances; speak nothing");
  auto* list_voices = app.add_flag("--list-voices", options.list_voices,
                                   "List the English and Spanish voices and exit");
  app.add_flag("--json", options.json, "Print the service's protocol lines instead of the display");
  raw.from_option =
      app.add_option("--from", raw.from, "Start at source line LINE")->type_name("LINE");
  raw.lines_option = app.add_option("--lines", raw.lines, "Read source lines A to B (inclusive)")
                         ->type_name("A:B");
  raw.bytes_option = app.add_option("--bytes", raw.bytes, "Read source bytes S to E (E exclusive)")
                         ->type_name("S:E");
  app.add_option("--rate", options.rate, "Speaking rate from 0.5 to 2.0; 1.0 is normal")
      ->type_name("R");
  app.add_option("--voice", options.voice,
                 "Voice: an id, a name, a locale or a language (see --list-voices)")
      ->type_name("VOICE");
  app.add_option("--pronunciations", options.pronunciations,
                 "Pronunciation file (default: ~/.config/mdspeak/pronunciations)")
      ->type_name("FILE");
  app.add_option("--reading", raw.reading,
                 "natural (default: sentence by sentence, in source order) or plain")
      ->type_name("MODE");
  app.add_option("--encoding", raw.encoding, "Encoding of the file: utf-8 (default) or latin1")
      ->type_name("ENC");
  auto* output = app.add_option("--output", options.output,
                                "Write the reading to an audio file (.m4b .mp3 .opus .ogg .flac "
                                ".wav) instead of speaking it")
                     ->type_name("FILE");
  auto* transcript = app.add_option("--transcript", options.transcript,
                                    "With --output: also write a timed transcript (.vtt or .srt)")
                         ->type_name("FILE");
  auto* format = app.add_option("--format", options.format,
                                "With --output: wav, flac, opus, vorbis, mp3 or m4b (default: "
                                "from FILE's extension)")
                     ->type_name("NAME");
  auto* chapters = app.add_option("--chapters", options.chapters,
                                  "With --output: headings of level 1 to N start chapters "
                                  "(default 2; 0: none)")
                       ->type_name("N");
  transcript->needs(output);
  format->needs(output);
  chapters->needs(output);
  output->excludes(print)->excludes(print_summary)->excludes(list_voices);
  auto* resume =
      app.add_flag("--resume", raw.resume, "Continue where this file was left, without asking");
  auto* from_start =
      app.add_flag("--from-start", raw.from_start, "Read from the top, without asking to continue");
  raw.sleep_option = app.add_option("--sleep", raw.sleep,
                                    "Stop at the end of the sentence after DURATION (90s, 20m, 1h)")
                         ->type_name("DURATION");
  resume->excludes(from_start)
      ->excludes(raw.from_option)
      ->excludes(raw.lines_option)
      ->excludes(raw.bytes_option);
  raw.from_option->excludes(raw.lines_option)->excludes(raw.bytes_option);
  raw.lines_option->excludes(raw.bytes_option);
  print->excludes(print_summary)->excludes(summary)->excludes(list_voices);
  print_summary->excludes(summary)->excludes(list_voices);
  summary->excludes(list_voices);
}

// The part of the document `raw` chooses, or the usage error.
Result<RangeChoice> choose_range(const RawArguments& raw) {
  if (raw.from_option->count() > 0) {
    return RangeChoice{RangeChoice::Kind::kFrom, raw.from, std::nullopt};
  }
  if (raw.lines_option->count() > 0) {
    auto choice = parse_pair(raw.lines, RangeChoice::Kind::kLines);
    if (!choice || (choice->first && *choice->first == 0) ||
        (choice->first && choice->last && *choice->last < *choice->first)) {
      return fail(Error("--lines wants A:B with 1 <= A <= B, got '" + raw.lines + "'"));
    }
    return *choice;
  }
  if (raw.bytes_option->count() > 0) {
    auto choice = parse_pair(raw.bytes, RangeChoice::Kind::kBytes);
    if (!choice || (choice->first && choice->last && *choice->last <= *choice->first)) {
      return fail(Error("--bytes wants S:E with S < E, got '" + raw.bytes + "'"));
    }
    return *choice;
  }
  return RangeChoice{};
}

// Checks what CLI11 cannot and completes `options` from `raw`; the usage error when it fails.
std::optional<std::string> complete(Options& options, const RawArguments& raw) {
  if (options.file.empty() && !options.list_voices) return "no FILE given";
  if (!(options.rate >= 0.5 && options.rate <= 2.0)) {
    char got[32];
    std::snprintf(got, sizeof got, "%g", options.rate);
    return std::string("--rate wants a number from 0.5 to 2.0, got ") + got;
  }
  if (raw.from_option->count() > 0 && raw.from == 0) return "--from counts lines from 1";
  std::string lowered = raw.encoding;
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lowered == "utf-8" || lowered == "utf8") {
    options.encoding = Encoding::kUtf8;
  } else if (lowered == "latin1" || lowered == "latin-1" || lowered == "iso-8859-1") {
    options.encoding = Encoding::kLatin1;
  } else {
    return "--encoding wants utf-8 or latin1, got '" + raw.encoding + "'";
  }
  if (raw.reading != "natural" && raw.reading != "plain") {
    return "--reading wants natural or plain, got '" + raw.reading + "'";
  }
  options.natural_reading = raw.reading == "natural";
  if (raw.resume) options.resume = Options::Resume::kYes;
  if (raw.from_start) options.resume = Options::Resume::kNo;
  if (raw.sleep_option->count() > 0 && !(options.sleep_seconds = parse_duration(raw.sleep))) {
    return "--sleep wants a duration such as 90s, 20m or 1h, got '" + raw.sleep + "'";
  }
  if (!options.file.empty() && options.list_voices) return "--list-voices takes no FILE";
  auto range = choose_range(raw);
  if (!range) return range.error().message;
  options.range = *range;
  return std::nullopt;
}

}  // namespace

ParseOutcome parse_options(int argc, const char* const* argv) {
  CLI::App app{"Reads a Markdown document aloud, showing the words as they are spoken.", "mdspeak"};
  app.formatter(std::make_shared<HelpFormatter>());
  app.get_formatter()->column_width(24);
  app.set_version_flag("--version", std::string("mdspeak ") + MDSPEAK_VERSION);
  Options options;
  RawArguments raw;
  declare_options(app, options, raw);
  app.footer(
      "Keys while reading: space pause/resume, n/p next/previous utterance, ]/[ next/previous "
      "heading, +/- rate, s summary, t sleep timer, w where am I, q quit, ? help.");

  ParseOutcome outcome;
  auto usage_error = [&](const std::string& message) {
    outcome.exit_code = 2;
    outcome.err = "mdspeak: " + message + "\n" + "Usage: mdspeak [OPTIONS] FILE\n" +
                  "Try 'mdspeak --help' for more information.\n";
    return outcome;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    outcome.out = app.help();
    return outcome;
  } catch (const CLI::CallForVersion&) {
    outcome.out = app.version() + "\n";
    return outcome;
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (auto error = complete(options, raw)) return usage_error(*error);
  outcome.options = std::move(options);
  return outcome;
}

Result<ByteRange> resolve_range(const RangeChoice& choice, const LineIndex& lines,
                                std::uint64_t source_size) {
  ByteRange range;
  switch (choice.kind) {
    case RangeChoice::Kind::kAll:
      return range;
    case RangeChoice::Kind::kFrom:
    case RangeChoice::Kind::kLines: {
      std::uint64_t first = choice.first.value_or(1);
      if (first > lines.line_count()) {
        return fail(Error("line " + std::to_string(first) + " is past the end of the document (" +
                          std::to_string(lines.line_count()) + " lines)"));
      }
      range.start = lines.line_start(first);
      if (choice.last) range.end = lines.line_start(*choice.last + 1);
      return range;
    }
    case RangeChoice::Kind::kBytes:
      range.start = choice.first.value_or(0);
      if (range.start >= source_size && source_size > 0) {
        return fail(Error("byte " + std::to_string(range.start) +
                          " is past the end of the document (" + std::to_string(source_size) +
                          " bytes)"));
      }
      range.end = choice.last;
      return range;
  }
  return range;
}

}  // namespace mdspeak::client
