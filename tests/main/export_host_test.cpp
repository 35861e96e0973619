// An export beside the rest of the service: speech and other requests go on while it runs, one
// export at a time, and stop cancels it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "host_fixture.h"
#include "speech/words.h"

namespace mdspeak {
namespace {

namespace fs = std::filesystem;

std::string long_document() {
  std::string text = "# Book\n\n";
  for (int i = 0; i < 200; ++i) text += "Sentence " + std::to_string(i) + " is read aloud.\n\n";
  return text;
}

// Waits for the export's next message.
Message next_export_message(AppState& state) {
  for (int i = 0; i < 2000; ++i) {
    if (auto message = state.next_export_message()) return std::move(*message);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ErrorResult{"", "timeout", ""};
}

TEST(ExportHost, SpeechGoesOnAndStopCancelsTheExport) {
  const fs::path dir =
      fs::temp_directory_path() / ("mdspeak-export-host-" + std::to_string(getpid()));
  fs::create_directories(dir);
  FakeHost host = FakeHost::create();
  host.answer(LoadDocument{"1", "doc", long_document()});

  Export request;
  request.id = "2";
  request.document_id = "doc";
  request.path = (dir / "book.opus").string();
  EXPECT_TRUE(host.state.handle(request).empty());  // answered when it ends
  EXPECT_TRUE(host.state.exporting());

  // Refused while one runs, with the reason; other requests are answered as ever.
  request.id = "3";
  const Message refused = host.answer(request);
  ASSERT_TRUE(std::holds_alternative<ErrorResult>(refused));
  EXPECT_EQ(std::get<ErrorResult>(refused).code, "export_failed");
  EXPECT_EQ(std::get<ErrorResult>(refused).message, "an export is already running (request '2')");
  const Message spoken = host.answer(Speak{"4", "doc", 0, 20, std::nullopt, 1.0f});
  ASSERT_TRUE(std::holds_alternative<SpeakResult>(spoken));
  EXPECT_EQ(std::get<SpeakResult>(spoken).queued, 2u);
  EXPECT_EQ(host.fake->queued().size(), 2u);

  // Stop answers as always and cancels the export, whose answer says so; nothing is left.
  ASSERT_TRUE(std::holds_alternative<StopResult>(host.answer(Stop{"5"})));
  Message last = next_export_message(host.state);
  while (std::holds_alternative<ExportProgress>(last)) last = next_export_message(host.state);
  ASSERT_TRUE(std::holds_alternative<ExportResult>(last));
  const auto& result = std::get<ExportResult>(last);
  EXPECT_EQ(result.id, "2");
  EXPECT_TRUE(result.cancelled);
  EXPECT_FALSE(host.state.exporting());
  EXPECT_TRUE(fs::is_empty(dir));

  // Refusals at the start are answered at once.
  struct Case {
    Export request;
    std::string code, message;
  };
  Export unknown = request;
  unknown.document_id = "nothing";
  Export format = request;
  format.format = "aiff";
  Export relative = request;
  relative.path = "book.opus";
  for (const Case& c : {Case{unknown, "document_not_loaded", "document 'nothing' is not loaded"},
                        Case{format, "export_failed",
                             "unknown format 'aiff': give one of wav, flac, opus, vorbis, "
                             "mp3, m4b"},
                        Case{relative, "export_failed", "the path 'book.opus' is not absolute"}}) {
    const Message answer = host.answer(c.request);
    ASSERT_TRUE(std::holds_alternative<ErrorResult>(answer));
    EXPECT_EQ(std::get<ErrorResult>(answer).code, c.code);
    EXPECT_EQ(std::get<ErrorResult>(answer).message, c.message);
  }
  fs::remove_all(dir);
}

// Speech given up for a stall is not an export given up.
TEST(ExportHost, AStallOfSpeechLeavesTheExportAlone) {
  const fs::path dir =
      fs::temp_directory_path() / ("mdspeak-export-stall-" + std::to_string(getpid()));
  fs::create_directories(dir);
  FakeHost host = FakeHost::create();
  host.answer(LoadDocument{"1", "doc", "# Short\n\nA few words.\n"});
  Export request;
  request.id = "2";
  request.document_id = "doc";
  request.path = (dir / "short.flac").string();
  EXPECT_TRUE(host.state.handle(request).empty());
  host.answer(Speak{"3", "doc", std::nullopt, std::nullopt, std::nullopt, 1.0f});
  EXPECT_TRUE(
      host.state.give_up_if_stalled(std::chrono::steady_clock::now() + std::chrono::hours(1)));
  Message last = next_export_message(host.state);
  while (std::holds_alternative<ExportProgress>(last)) last = next_export_message(host.state);
  ASSERT_TRUE(std::holds_alternative<ExportResult>(last));
  EXPECT_FALSE(std::get<ExportResult>(last).cancelled);
  EXPECT_TRUE(fs::exists(dir / "short.flac"));
  fs::remove_all(dir);
}

// The range and the summary choose what is read, as for speak.
TEST(ExportHost, RangeAndSummaryChooseWhatIsExported) {
  const fs::path dir =
      fs::temp_directory_path() / ("mdspeak-export-range-" + std::to_string(getpid()));
  fs::create_directories(dir);
  FakeHost host = FakeHost::create();
  const std::string text = "# Alpha\n\nOne two.\n\n## Beta\n\nThree four five.\n";
  host.answer(LoadDocument{"1", "doc", text});
  const auto summary = std::get<PrepareSummaryResult>(host.answer(PrepareSummary{"2", "doc"}));
  std::uint64_t summary_words = 0;
  for (const PreparedUtterance& u : summary.utterances) summary_words += split_words(u.text).size();
  ASSERT_GT(summary_words, 0u);
  struct Case {
    std::optional<std::uint64_t> start, end;
    bool summary;
    std::uint64_t chapters, words;
  };
  const std::uint64_t beta = text.find("## Beta");
  for (const Case& c :
       {Case{std::nullopt, std::nullopt, false, 2, 7}, Case{beta, std::nullopt, false, 1, 4},
        Case{std::nullopt, beta, false, 1, 3},
        Case{std::nullopt, std::nullopt, true, 0, summary_words}}) {
    Export request;
    request.id = "3";
    request.document_id = "doc";
    request.path = (dir / "part.mp3").string();
    request.start_offset = c.start;
    request.end_offset = c.end;
    request.summary = c.summary;
    ASSERT_TRUE(host.state.handle(request).empty());
    Message last = next_export_message(host.state);
    while (std::holds_alternative<ExportProgress>(last)) last = next_export_message(host.state);
    ASSERT_TRUE(std::holds_alternative<ExportResult>(last));
    EXPECT_EQ(std::get<ExportResult>(last).chapters, c.chapters) << c.summary;
    EXPECT_EQ(std::get<ExportResult>(last).words, c.words) << c.summary;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace mdspeak
