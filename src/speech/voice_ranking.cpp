#include "speech/voice_ranking.h"

#include "common/text.h"

namespace mdspeak {
namespace {

// speech-dispatcher's output modules, and festival's voices by kind: statistical (HTS) voices
// sound far more natural than its diphone ones.
bool is_festival_hts(const Voice& voice) {
  return text::ascii_lower(voice.name).find("hts") != std::string::npos;
}

bool is_mbrola(std::string_view engine) {
  return engine.find("mbrola") != std::string_view::npos;
}

// mbrola's voices mark words 340 to 400 ms before their sound, except es2 (within 50 ms).
constexpr std::string_view kExactMbrola = "spanish-mbrola-2";

}  // namespace

std::string_view word_timing_name(WordTiming timing) {
  switch (timing) {
    case WordTiming::Exact:
      return "exact";
    case WordTiming::Approximate:
      return "approximate";
    case WordTiming::None:
      return "none";
  }
  return "none";
}

WordTiming word_timing(const Voice& voice) {
  const std::string engine = text::ascii_lower(voice.engine);
  // Engines that send no index marks at all.
  if (engine == "pico" || engine == "pico-generic" || engine == "flite") return WordTiming::None;
  if (is_mbrola(engine)) {
    return voice.name == kExactMbrola ? WordTiming::Exact : WordTiming::Approximate;
  }
  // festival's HTS voice marks words 200 ms late, its diphone voices lose most marks.
  if (engine == "festival") return WordTiming::Approximate;
  return WordTiming::Exact;
}

int engine_rank(const Voice& voice) {
  const std::string engine = text::ascii_lower(voice.engine);
  if (engine == "rhvoice") return 0;
  if (is_mbrola(engine)) return 1;
  if (engine == "festival") return is_festival_hts(voice) ? 2 : 5;
  if (engine == "pico" || engine == "pico-generic") return 3;
  if (engine == "flite") return 6;
  return 4;
}

int compare_voice_quality(const Voice& a, const Voice& b, bool word_progress) {
  if (word_progress) {
    const auto ta = static_cast<int>(word_timing(a));
    const auto tb = static_cast<int>(word_timing(b));
    if (ta != tb) return ta - tb;
  }
  return engine_rank(a) - engine_rank(b);
}

}  // namespace mdspeak
