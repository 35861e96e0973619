// The export against live speech on the real speech stack (scripts/speech-stack up): the same
// voices as speech-dispatcher lists, and words timed alike.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "export/espeak_renderer.h"
#include "json_client.h"

namespace mdspeak::exporting {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Every English and Spanish espeak-ng voice the daemon lists is in espeak-ng's own list under
// the same name and language tag, so that a voice_id and the automatic choice mean the same voice.
// Voices of the daemon's other engines are not the export's.
TEST(ExportLive, EspeakVoicesAreTheDaemonsVoices) {
  testing::JsonClient client;
  const json listed = client.answer({{"type", "list_voices"}, {"id", "v"}, {"details", true}});
  ASSERT_EQ(listed["type"], "list_voices_result") << listed.dump();
  std::map<std::string, std::string> ours;
  {
    auto renderer = EspeakRenderer::acquire();
    ASSERT_TRUE(renderer);
    for (const Voice& v : (*renderer)->voices()) ours[v.id] = v.language;
  }
  std::size_t espeak_voices = 0;
  for (const json& voice : listed["voices"]) {
    if (voice["engine"] != "espeak-ng") continue;
    ++espeak_voices;
    const std::string id = voice["id"];
    ASSERT_TRUE(ours.contains(id)) << id;
    EXPECT_EQ(ours[id], voice["locale"]) << id;
  }
  ASSERT_GT(espeak_voices, 0u);
  EXPECT_EQ(ours.size(), espeak_voices);
}

// Each sentence's span from its first word to its last, spoken by the daemon (word events as
// they arrive) and in an export's per-word transcript: within 10% in total.
TEST(ExportLive, WordTimingMatchesLiveSpeech) {
  const std::string text =
      "The quick brown fox jumps over the lazy dog near the quiet river bank.\n\n"
      "Seven small boats drifted slowly past the old stone bridge at dawn.\n\n"
      "Every listener heard the same words in the same order and at the same pace.\n";
  testing::JsonClient client;
  client.load(text);
  client.send({{"type", "speak"},
               {"id", "s"},
               {"document_id", "doc"},
               {"rate", 1.0},
               {"word_events", true}});
  double live_ms = 0;
  for (int utterance = 0; utterance < 3; ++utterance) {
    std::optional<Clock::time_point> first, last;
    for (;;) {
      const json m = client.next();
      ASSERT_FALSE(m.is_null());
      if (m["type"] == "utterance_word") {
        if (!first) first = Clock::now();
        last = Clock::now();
      }
      if (m["type"] == "utterance_end") break;
    }
    ASSERT_TRUE(first);
    live_ms += std::chrono::duration<double, std::milli>(*last - *first).count();
  }

  const auto dir =
      std::filesystem::temp_directory_path() / ("mdspeak-export-live-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  client.send({{"type", "export"},
               {"id", "e"},
               {"document_id", "doc"},
               {"path", (dir / "t.wav").string()},
               {"transcript", (dir / "t.vtt").string()},
               {"transcript_words", true}});
  const json result = client.until("export_result");
  ASSERT_EQ(result["cancelled"], false) << result.dump();
  // Per utterance: the first word's start to the last word's start.
  std::ifstream vtt(dir / "t.vtt");
  const std::regex id(R"(w\d+ bytes (\d+)-\d+)");
  const std::regex timing(R"((\d\d):(\d\d):(\d\d)\.(\d\d\d) --> .*)");
  std::string line;
  std::map<int, std::pair<double, double>> spans;  // paragraph -> first, last word start
  int paragraph = 0;
  while (std::getline(vtt, line)) {
    std::smatch m;
    if (std::regex_match(line, m, id)) {
      const std::size_t byte = std::stoul(m[1]);
      paragraph = static_cast<int>(std::count(text.begin(), text.begin() + byte, '\n') / 2);
    } else if (std::regex_match(line, m, timing)) {
      const double at = std::stod(m[1]) * 3600000 + std::stod(m[2]) * 60000 +
                        std::stod(m[3]) * 1000 + std::stod(m[4]);
      auto [it, fresh] = spans.try_emplace(paragraph, at, at);
      if (!fresh) it->second.second = at;
    }
  }
  std::filesystem::remove_all(dir);
  ASSERT_EQ(spans.size(), 3u);
  double exported_ms = 0;
  for (const auto& [_, span] : spans) exported_ms += span.second - span.first;
  std::printf("first to last word of three sentences: export %.0f ms, live %.0f ms\n", exported_ms,
              live_ms);
  EXPECT_NEAR(exported_ms, live_ms, live_ms * 0.10)
      << "export " << exported_ms << " ms, live " << live_ms << " ms";
}

}  // namespace
}  // namespace mdspeak::exporting
