#include "export/voice_choice.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "common/channel.h"
#include "speech/speech_engine.h"
#include "speech/speechd_ssip.h"

namespace mdspeak::exporting {
namespace {

constexpr int kMinWpm = 80;
constexpr int kNormalWpm = 170;
constexpr int kMaxWpm = 449;

// A facade that only lists voices and remembers what the engine sets: the engine's choice and
// rate mapping then run exactly as for live speech, without a synthesizer behind them.
class ChoosingTts : public Tts {
 public:
  ChoosingTts(std::vector<Voice> voices, std::optional<Voice>* voice, float* rate)
      : voices_(std::move(voices)), voice_(voice), rate_(rate) {}

  Features supported_features() const override {
    Features f;
    f.rate = true;
    f.voice = true;
    f.utterance_callbacks = true;
    return f;
  }
  Result<void> on_utterance_begin(UtteranceCallback) override { return {}; }
  Result<void> on_utterance_end(UtteranceCallback) override { return {}; }
  Result<std::optional<UtteranceId>> speak(std::string_view, bool) override {
    return fail(Error(std::string(tts_error::kUnsupportedFeature)));
  }
  Result<void> stop() override { return {}; }
  Result<bool> is_speaking() override { return false; }
  Result<std::vector<Voice>> voices() override { return voices_; }
  Result<void> set_voice(const Voice& voice) override {
    *voice_ = voice;
    return {};
  }
  float min_rate() const override { return speechd::kMinRate; }
  float normal_rate() const override { return speechd::kNormalRate; }
  float max_rate() const override { return speechd::kMaxRate; }
  Result<void> set_rate(float rate) override {
    *rate_ = rate;
    return {};
  }

 private:
  std::vector<Voice> voices_;
  std::optional<Voice>* voice_;
  float* rate_;
};

}  // namespace

int espeak_words_per_minute(int speechd_rate) {
  const int rate = std::clamp(speechd_rate, -100, 100);
  if (rate < 0) return kNormalWpm + (kNormalWpm - kMinWpm) * rate / 100;
  return kNormalWpm + (kMaxWpm - kNormalWpm) * rate / 100;
}

Result<VoiceChoice> choose_voice(std::vector<Voice> voices,
                                 const std::optional<std::string>& voice_id,
                                 std::optional<SupportedLanguage> language, float rate,
                                 std::string person_locale) {
  std::optional<Voice> chosen;
  float engine_rate = 0.0f;
  auto [sender, receiver] = make_channel<SpeechEvent>();
  auto engine =
      SpeechEngine::create(std::make_unique<ChoosingTts>(std::move(voices), &chosen, &engine_rate),
                           std::move(sender), std::move(person_locale));
  if (!engine) return fail(std::move(engine.error()));
  if (auto configured = engine->configure(voice_id, language, rate); !configured) {
    return fail(configured.error());
  }
  if (!chosen) return fail(Error("no espeak-ng voice was chosen"));
  // The daemon gets the rate as an integer.
  return VoiceChoice{std::move(*chosen),
                     espeak_words_per_minute(static_cast<int>(std::lround(engine_rate)))};
}

}  // namespace mdspeak::exporting
