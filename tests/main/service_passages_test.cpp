// A mixed English/Spanish document in the natural reading, spoken by the real binary on the real
// speech stack: each utterance by a voice of its own language, with sound throughout.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "json_client.h"
#include "live_sound.h"

namespace mdspeak::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
const std::string kMixed =
    "# Installation\n\n"
    "This guide explains how to install the program and how to check that it works.\n\n"
    "## Instalación\n\n"
    "Esta guía explica cómo instalar el programa y cómo comprobar que funciona.\n\n"
    "- Descargue el paquete desde la página del proyecto.\n"
    "- Then run the installer as the administrator of the machine.\n";
const std::vector<std::string> kLanguages = {"en", "en", "es", "es", "es", "en"};

struct Heard {
  json begin;
  Clock::time_point began;
  Clock::time_point ended;
};

// Speaks document "doc" and keeps each begin with the times of its begin and end.
std::vector<Heard> speak_all(JsonClient& client, const std::optional<std::string>& voice) {
  json speak = {{"type", "speak"}, {"id", "s"}, {"document_id", "doc"}, {"rate", 1.5}};
  if (voice) speak["voice_id"] = *voice;
  client.send(speak);
  std::vector<Heard> heard;
  for (;;) {
    json m = client.next(20s);
    if (m.is_null()) break;
    if (m["type"] == "utterance_begin") heard.push_back({m, Clock::now(), {}});
    if (m["type"] == "utterance_end" && !heard.empty()) {
      heard.back().ended = Clock::now();
      if (m["utterance_index"] == kLanguages.size() - 1) break;
    }
  }
  return heard;
}

void load_natural(JsonClient& client) {
  client.send({{"type", "load_document"},
               {"id", "l"},
               {"document_id", "doc"},
               {"text", kMixed},
               {"reading", "natural"}});
  client.until("load_document_result");
}

// The first voice listed for each language: the service's best for it.
std::map<std::string, std::string> best_voices(JsonClient& client) {
  json voices = client.answer({{"type", "list_voices"}, {"id", "v"}});
  std::map<std::string, std::string> best;
  for (const json& v : voices["voices"]) {
    const std::string locale = v["locale"].is_string() ? v["locale"].get<std::string>() : "";
    best.emplace(locale.substr(0, 2), v["id"].get<std::string>());
  }
  return best;
}

void expect_sound_throughout(const SinkRecorder& recorder, const std::vector<Heard>& heard) {
  for (const Heard& h : heard) {
    EXPECT_GT(recorder.rms_between(h.began, h.ended), kAudible) << h.begin.dump();
  }
}

// The null sink recording and a service with the mixed document loaded in the natural reading.
class ServicePassagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!start_recording(recorder)) GTEST_SKIP() << "needs scripts/speech-stack up";
    load_natural(client);
  }

  SinkRecorder recorder;
  JsonClient client;
};

TEST_F(ServicePassagesTest, EachPassageSpokenByAVoiceOfItsLanguage) {
  // Before any voice list the synthesizer picks the voice for each language: no id to report.
  std::vector<Heard> heard = speak_all(client, std::nullopt);
  ASSERT_EQ(heard.size(), kLanguages.size());
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].begin["language_code"], kLanguages[i]) << heard[i].begin.dump();
    EXPECT_TRUE(heard[i].begin["voice_id"].is_null()) << heard[i].begin.dump();
  }
  expect_sound_throughout(recorder, heard);

  // With the list at hand, voices by name; a voice asked for keeps its language's passages.
  const auto best = best_voices(client);
  ASSERT_TRUE(best.contains("en") && best.contains("es"));
  heard = speak_all(client, std::nullopt);
  ASSERT_EQ(heard.size(), kLanguages.size());
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].begin["language_code"], kLanguages[i]);
    EXPECT_EQ(heard[i].begin["voice_id"], best.at(kLanguages[i])) << heard[i].begin.dump();
  }
  expect_sound_throughout(recorder, heard);
}

TEST_F(ServicePassagesTest, AVoiceAskedForKeepsItsLanguage) {
  const auto best = best_voices(client);
  json voices = client.answer({{"type", "list_voices"}, {"id", "v"}});
  // Another English voice than the best one.
  std::string other;
  for (const json& v : voices["voices"]) {
    const std::string id = v["id"];
    if (v["locale"].is_string() && v["locale"].get<std::string>().starts_with("en") &&
        id != best.at("en")) {
      other = id;
      break;
    }
  }
  if (other.empty()) GTEST_SKIP() << "needs two English voices";
  const std::vector<Heard> heard = speak_all(client, other);
  ASSERT_EQ(heard.size(), kLanguages.size());
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].begin["voice_id"], kLanguages[i] == "en" ? other : best.at("es"))
        << heard[i].begin.dump();
  }
  expect_sound_throughout(recorder, heard);
}

}  // namespace
}  // namespace mdspeak::testing
