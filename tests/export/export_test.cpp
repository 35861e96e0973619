// Exports rendered by the real espeak-ng and encoders, read back with ffprobe and ffmpeg.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "export/espeak_renderer.h"
#include "export/exporter.h"
#include "export/voice_choice.h"
#include "speech/words.h"

namespace mdspeak::exporting {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::string_view kBook =
    "# Quill\n\nQuill reads your notes aloud, one word at a time.\n\n## Install\n\n"
    "Run make, then enjoy the quiet.\n\n### Details\n\nNothing more to say here.\n\n"
    "## Use\n\nOpen a file & listen.\n";
// Levels of the headings of kBook, in order.
constexpr std::uint8_t kBookLevels[] = {1, 2, 3, 2};

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

json probe(const std::string& path) {
  return json::parse(run("ffprobe -v error -print_format json -show_format -show_streams "
                         "-show_chapters '" +
                         path + "'"),
                     nullptr, false);
}

// The decoded file as 16 kHz mono samples.
std::vector<std::int16_t> decode(const std::string& path) {
  const std::string raw = run("ffmpeg -v error -i '" + path + "' -f s16le -ac 1 -ar 16000 -");
  std::vector<std::int16_t> samples(raw.size() / 2);
  std::memcpy(samples.data(), raw.data(), samples.size() * 2);
  return samples;
}

double rms(const std::vector<std::int16_t>& samples, double from_s, double to_s) {
  const std::size_t a = std::min(samples.size(), static_cast<std::size_t>(from_s * 16000));
  const std::size_t b = std::min(samples.size(), static_cast<std::size_t>(to_s * 16000));
  if (b <= a) return 0;
  double sum = 0;
  for (std::size_t i = a; i < b; ++i) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / double(b - a)) / 32768.0;
}

ExportJob job_for(std::string_view markdown, std::span<const std::uint8_t> levels = {}) {
  ParsedMarkdownDocument parsed = parse_markdown_document(markdown);
  ExportJob job;
  std::size_t heading = 0;
  for (std::size_t i = 0; i < parsed.utterances.size(); ++i) {
    const bool is_heading = parsed.utterances[i].kind == UtteranceKind::Heading;
    job.heading_levels.push_back(is_heading && heading < levels.size() ? levels[heading] : 0);
    heading += is_heading ? 1 : 0;
    job.indexes.push_back(i);
  }
  job.utterances = parsed.utterances;
  job.source_map = std::move(parsed.source_map);
  job.language = SupportedLanguage::English;
  job.title = parsed.title ? parsed.title->text : "";
  return job;
}

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Parameterised tests are named "Test/param": one directory, not two.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ = fs::temp_directory_path() /
           ("mdspeak-export-test-" + std::to_string(getpid()) + "-" + name);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  std::string dir_string() const { return dir_.string(); }
  std::string path(std::string_view name) const { return (dir_ / name).string(); }
  // Every name left in the directory (temporary files included).
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Runs `job` to its end; the progress seen is kept in `progress_`.
  ExportUpdate export_all(ExportJob job) {
    Exporter exporter(wakeup_);
    auto started = exporter.start(std::move(job));
    if (!started) return started.error();
    return wait(exporter);
  }
  ExportUpdate wait(Exporter& exporter) {
    for (;;) {
      const auto seen = wakeup_->generation();
      while (auto update = exporter.next()) {
        if (auto* p = std::get_if<ExportProgress>(&*update)) {
          progress_.push_back(*p);
          continue;
        }
        return *update;
      }
      wakeup_->wait_for(seen, std::chrono::milliseconds(100));
    }
  }

  fs::path dir_;
  std::shared_ptr<Wakeup> wakeup_ = std::make_shared<Wakeup>();
  std::vector<ExportProgress> progress_;
};

struct FormatCase {
  std::string_view file;
  std::string_view codec;
  int sample_rate;
};

class FormatRoundTrip : public ExportTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatRoundTrip, DecodesToTheSpeechWithItsChaptersAndTags) {
  const FormatCase& c = GetParam();
  ExportJob job = job_for(kBook, kBookLevels);
  job.path = path(c.file);
  const ExportUpdate outcome = export_all(std::move(job));
  ASSERT_TRUE(std::holds_alternative<ExportSummary>(outcome)) << std::get<Error>(outcome).message;
  const ExportSummary& summary = std::get<ExportSummary>(outcome);
  EXPECT_FALSE(summary.cancelled);
  std::uint64_t words = 0;
  for (const Utterance& u : parse_markdown_document(kBook).utterances) {
    words += split_words(u.text).size();
  }
  EXPECT_EQ(summary.words, words);
  EXPECT_EQ(summary.voice, "English (America)");
  EXPECT_EQ(names(), std::vector<std::string>{std::string(c.file)});

  const json info = probe(summary.path);
  ASSERT_TRUE(info.is_object()) << "ffprobe could not read " << summary.path;
  // MP4 keeps its chapters in a text track of their own.
  ASSERT_EQ(info["streams"].size(), c.codec == "aac" ? 2u : 1u);
  const json& stream = info["streams"][0];
  ASSERT_EQ(stream["codec_type"], "audio");
  EXPECT_EQ(stream["codec_name"], c.codec);
  EXPECT_EQ(stream["sample_rate"], std::to_string(c.sample_rate));
  EXPECT_EQ(stream["channels"], 1);
  const double seconds = std::stod(info["format"]["duration"].get<std::string>());
  EXPECT_NEAR(seconds * 1000, double(summary.duration_ms), 150.0);
  EXPECT_GT(summary.duration_ms, 5000u);
  const json& tags = info["format"].contains("tags") ? info["format"]["tags"] : stream["tags"];
  auto tag = [&](const char* name) {
    for (auto it = tags.begin(); it != tags.end(); ++it) {
      std::string key = it.key();
      for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (key == name) return it.value().get<std::string>();
    }
    return std::string("(none)");
  };
  EXPECT_EQ(tag("title"), "Quill");
  EXPECT_EQ(tag("artist"), "mdspeak");

  const std::vector<std::int16_t> samples = decode(summary.path);
  const std::vector<std::string> expected_names =
      c.file.ends_with(".wav") ? std::vector<std::string>{}
                               : std::vector<std::string>{"Quill", "Install", "Use"};
  ASSERT_EQ(info["chapters"].size(), expected_names.size());
  EXPECT_EQ(summary.chapters, expected_names.size());
  double previous_end = 0;
  for (std::size_t i = 0; i < expected_names.size(); ++i) {
    const json& chapter = info["chapters"][i];
    EXPECT_EQ(chapter["tags"]["title"], expected_names[i]);
    const double start = std::stod(chapter["start_time"].get<std::string>());
    const double end = std::stod(chapter["end_time"].get<std::string>());
    EXPECT_NEAR(start, previous_end, 0.01) << "chapter " << i;
    EXPECT_GT(end, start + 0.5);
    EXPECT_GT(rms(samples, start, end), 0.02) << "chapter " << i << " is silent";
    previous_end = end;
  }
  if (!expected_names.empty()) {
    EXPECT_NEAR(previous_end, seconds, 0.1);
  }
  EXPECT_GT(rms(samples, 0, seconds), 0.02);
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatRoundTrip,
                         ::testing::Values(FormatCase{"book.wav", "pcm_s16le", 22050},
                                           FormatCase{"book.flac", "flac", 22050},
                                           FormatCase{"book.opus", "opus", 48000},
                                           FormatCase{"book.ogg", "vorbis", 22050},
                                           FormatCase{"book.mp3", "mp3", 22050},
                                           FormatCase{"book.m4b", "aac", 22050}),
                         [](const auto& info) {
                           std::string name(info.param.file.substr(5));
                           return name;
                         });

// The transcript of a real export: cues in order, timed inside the audio, every word of the
// reading once, in order; per word, each cue names the word's own source bytes.
TEST_F(ExportTest, TranscriptCuesCoverEveryWordInOrder) {
  const std::string source(kBook);
  std::vector<std::string> words;
  for (const Utterance& u : parse_markdown_document(source).utterances) {
    for (const WordMark& w : split_words(u.text))
      words.push_back(u.text.substr(w.begin, w.end - w.begin));
  }
  const std::regex timing(R"((\d\d):(\d\d):(\d\d)\.(\d\d\d) --> (\d\d):(\d\d):(\d\d)\.(\d\d\d))");
  const std::regex tagged(R"(<c>([^<]*)</c>)");
  const std::regex id(R"(([uw])(\d+) bytes (\d+)-(\d+))");
  auto ms = [](const std::smatch& m, int first) {
    return std::stoll(m[first]) * 3600000 + std::stoll(m[first + 1]) * 60000 +
           std::stoll(m[first + 2]) * 1000 + std::stoll(m[first + 3]);
  };
  auto unescape = [](std::string text) {
    for (auto [from, to] : {std::pair{"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
      for (std::size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, std::strlen(from), to);
    }
    return text;
  };
  for (bool per_word : {false, true}) {
    ExportJob job = job_for(kBook, kBookLevels);
    job.path = path("book.opus");
    job.transcript_path = path("book.vtt");
    job.transcript_words = per_word;
    const ExportUpdate outcome = export_all(std::move(job));
    ASSERT_TRUE(std::holds_alternative<ExportSummary>(outcome));
    const auto duration = static_cast<long long>(std::get<ExportSummary>(outcome).duration_ms);
    std::ifstream file(path("book.vtt"));
    std::string line, cue_id;
    std::getline(file, line);
    EXPECT_EQ(line, "WEBVTT");
    std::vector<std::string> seen;
    long long last_start = -1;
    long long last_index = -1;
    while (std::getline(file, line)) {
      std::smatch m;
      if (std::regex_match(line, m, id)) {
        EXPECT_EQ(m[1] == "w", per_word) << line;
        EXPECT_GT(std::stoll(m[2]), last_index) << line;
        last_index = std::stoll(m[2]);
        cue_id = line;
        continue;
      }
      if (std::regex_match(line, m, timing)) {
        const long long start = ms(m, 1), end = ms(m, 5);
        EXPECT_GE(start, last_start) << line;
        EXPECT_GT(end, start) << line;
        EXPECT_LE(end, duration + 1) << line;
        last_start = start;
        std::getline(file, line);
        if (per_word) {
          seen.push_back(unescape(line));
          std::smatch r;
          ASSERT_TRUE(std::regex_match(cue_id, r, id));
          const std::string bytes =
              source.substr(std::stoull(r[3]), std::stoull(r[4]) - std::stoull(r[3]));
          // Plain words are their own source bytes; "&" and the like map to their reference.
          if (std::isalpha(static_cast<unsigned char>(seen.back()[0]))) {
            EXPECT_EQ(bytes, seen.back()) << cue_id;
          }
        } else {
          for (std::sregex_iterator it(line.begin(), line.end(), tagged), end_it; it != end_it;
               ++it) {
            seen.push_back(unescape((*it)[1]));
          }
        }
      }
    }
    EXPECT_EQ(seen, words) << (per_word ? "per word" : "per utterance");
    fs::remove(path("book.opus"));
    fs::remove(path("book.vtt"));
  }
}

TEST_F(ExportTest, ProgressRisesAndCancelLeavesNothing) {
  std::string markdown;
  for (int i = 0; i < 150; ++i) {
    markdown += "Paragraph " + std::to_string(i) +
                " says something long enough to take a while to render aloud.\n\n";
  }
  {
    ExportJob job = job_for(markdown);
    job.path = path("long.opus");
    const ExportUpdate outcome = export_all(std::move(job));
    ASSERT_TRUE(std::holds_alternative<ExportSummary>(outcome));
    ASSERT_GE(progress_.size(), 1u);
    for (std::size_t i = 0; i < progress_.size(); ++i) {
      EXPECT_EQ(progress_[i].total, 150u);
      EXPECT_LE(progress_[i].done, 150u);
      if (i > 0) {
        EXPECT_GT(progress_[i].done, progress_[i - 1].done);
        EXPECT_GT(progress_[i].audio_ms, progress_[i - 1].audio_ms);
      }
    }
    EXPECT_LE(progress_.back().audio_ms, std::get<ExportSummary>(outcome).duration_ms);
  }
  fs::remove(path("long.opus"));
  // Cancelled at once, and after the first progress.
  for (bool at_once : {true, false}) {
    ExportJob job = job_for(markdown);
    job.path = path("long.m4b");
    job.transcript_path = path("long.vtt");
    Exporter exporter(wakeup_);
    ASSERT_TRUE(exporter.start(std::move(job)));
    if (!at_once) {
      while (!exporter.next()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    exporter.cancel();
    const ExportUpdate outcome = wait(exporter);
    ASSERT_TRUE(std::holds_alternative<ExportSummary>(outcome));
    EXPECT_TRUE(std::get<ExportSummary>(outcome).cancelled);
    EXPECT_FALSE(exporter.running());
    EXPECT_TRUE(names().empty()) << names().front();
  }
}

TEST_F(ExportTest, RefusedTargetsSayWhyAndLeaveNoFile) {
  fs::create_directories(path("a-directory"));
  struct Case {
    std::string target;
    std::optional<std::string> transcript;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"relative/book.opus", std::nullopt, "the path 'relative/book.opus' is not absolute"},
      {path("missing/book.opus"), std::nullopt,
       "the directory " + path("missing") + " does not exist"},
      {path("a-directory"), std::nullopt, path("a-directory") + " is a directory"},
      {path("book.xyz"), std::nullopt, "cannot tell the format of " + path("book.xyz")},
      {path("book.opus"), path("book.opus"), "the transcript cannot be written"},
      {path("book.opus"), path("missing/book.vtt"),
       "the directory " + path("missing") + " does not exist"},
  };
  for (const Case& c : cases) {
    ExportJob job = job_for(kBook);
    job.path = c.target;
    job.transcript_path = c.transcript;
    Exporter exporter(wakeup_);
    auto started = exporter.start(std::move(job));
    ASSERT_FALSE(started) << c.target;
    EXPECT_TRUE(started.error().message.starts_with(c.message)) << started.error().message;
    EXPECT_EQ(names(), std::vector<std::string>{"a-directory"}) << c.target;
  }
}

// A write that fails part way (the file size limit, a full disk) fails the export with the
// reason and leaves neither the file nor its temporary.
TEST_F(ExportTest, AFailedWriteSaysWhyAndLeavesNoFile) {
  ExportJob job = job_for(kBook, kBookLevels);
  job.path = path("limited.wav");
  job.transcript_path = path("limited.vtt");
  // In a child whose file size limit is 64 KB (a WAV of the book takes about 400 KB).
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &limit);
    const ExportUpdate outcome = export_all(std::move(job));
    const Error* failure = std::get_if<Error>(&outcome);
    const bool said_why =
        failure != nullptr && failure->message == "cannot write " + path("limited.wav") +
                                                      ": the file size limit was reached";
    if (!said_why && failure != nullptr) std::fprintf(stderr, "%s\n", failure->message.c_str());
    _exit(said_why ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(names().empty());

  // A full disk: a small tmpfs, where the system lets us mount one.
  const std::string small = path("small");
  fs::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=128k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here; the size limit case above ran";
  }
  ExportJob full = job_for(kBook, kBookLevels);
  full.path = small + "/book.flac";
  const ExportUpdate outcome = export_all(std::move(full));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(small)) left.push_back(entry.path().string());
  umount(small.c_str());
  ASSERT_TRUE(std::holds_alternative<Error>(outcome));
  EXPECT_EQ(std::get<Error>(outcome).message,
            "cannot write " + small + "/book.flac: no space left on the device");
  EXPECT_TRUE(left.empty()) << left.front();
}

TEST(ChapterStarts, HeadingsUpToTheLevelNameChapters) {
  const std::string markdown =
      "Some words first.\n\n# One\n\nText.\n\n## Two\n\nText.\n\n### Three\n\nText.\n";
  const std::uint8_t levels[] = {1, 2, 3};
  struct Case {
    unsigned level;
    std::vector<std::string> names;
  };
  for (const Case& c :
       {Case{1, {"Some words first.", "One"}}, Case{2, {"Some words first.", "One", "Two"}},
        Case{6, {"Some words first.", "One", "Two", "Three"}}}) {
    ExportJob job = job_for(markdown, levels);
    job.chapter_level = c.level;
    std::vector<std::string> names;
    for (const auto& start : chapter_starts(job)) names.push_back(start.second);
    EXPECT_EQ(names, c.names) << "level " << c.level;
  }
  // No headings: no chapters.
  EXPECT_TRUE(chapter_starts(job_for("Just a paragraph.\n")).empty());
}

TEST(VoiceChoice, FollowsTheServiceChoiceAndRateMapping) {
  const std::vector<Voice> voices = {
      {"English (Great Britain)", "English (Great Britain)", std::nullopt, "en-GB"},
      {"English (America)", "English (America)", std::nullopt, "en-US"},
      {"Spanish (Spain)", "Spanish (Spain)", std::nullopt, "es"},
  };
  struct Case {
    std::optional<std::string> voice_id;
    std::optional<SupportedLanguage> language;
    float rate;
    std::string locale;
    std::string voice;
    int wpm;
  };
  const Case cases[] = {
      {std::nullopt, SupportedLanguage::English, 1.0f, "", "English (America)", 170},
      {std::nullopt, SupportedLanguage::English, 1.0f, "en_GB.UTF-8", "English (Great Britain)",
       170},
      {std::nullopt, SupportedLanguage::Spanish, 0.5f, "", "Spanish (Spain)", 80},
      // A Spanish voice for an English document is not honoured.
      {"Spanish (Spain)", SupportedLanguage::English, 2.0f, "", "English (America)", 449},
      {"English (Great Britain)", SupportedLanguage::English, 1.5f, "", "English (Great Britain)",
       309},
      {std::nullopt, SupportedLanguage::English, 0.75f, "", "English (America)", 125},
  };
  for (const Case& c : cases) {
    auto choice = choose_voice(voices, c.voice_id, c.language, c.rate, c.locale);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->voice.name, c.voice) << c.rate << " " << c.locale;
    EXPECT_EQ(choice->words_per_minute, c.wpm) << c.rate;
  }
  EXPECT_FALSE(choose_voice({}, std::nullopt, SupportedLanguage::English, 1.0f, ""));
  // espeak-ng's languages as the daemon lists them.
  for (auto [espeak, listed] : {std::pair{"en-us", "en-US"},
                                {"es-419", "es-419"},
                                {"es", "es"},
                                {"en-gb-x-rp", "en-GB-X-RP"}}) {
    EXPECT_EQ(language_tag(espeak), listed);
  }
}

}  // namespace
}  // namespace mdspeak::exporting
