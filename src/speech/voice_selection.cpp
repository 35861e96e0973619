// Ranking, listing and choosing voices, and mapping the requested rate onto the synthesizer's.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <span>
#include <string_view>
#include <utility>

#include "common/text.h"
#include "speech/speech_engine.h"
#include "speech/voice_ranking.h"
#include "speech/word_estimate.h"

namespace mdspeak {

namespace {

// `locale_closeness` of a voice of the other language starts here.
constexpr int kOtherLanguage = 3;

constexpr const char* kNoVoices = "no supported English or Spanish system voices were found";

// The requested rate, 1.0 meaning normal, on the facade's scale: each half of 0.5..2.0 maps
// linearly onto its half of min..max, so normal speed stays the synthesizer's normal speed.
float engine_rate(float requested, float min, float normal, float max) {
  float r = requested;
  if (r < 0.5f) r = 0.5f;
  if (r > 2.0f) r = 2.0f;
  if (r <= 1.0f) return min + (r - 0.5f) * 2.0f * (normal - min);
  return normal + (r - 1.0f) * (max - normal);
}

// Language and region of a tag or locale name: "en-GB", "en_GB.UTF-8@euro" -> ("en", "gb").
std::pair<std::string, std::string> language_and_region(std::string_view tag) {
  tag = tag.substr(0, tag.find_first_of(".@"));
  const std::size_t cut = tag.find_first_of("-_");
  std::string language = text::ascii_lower(tag.substr(0, cut));
  std::string region;
  if (cut != std::string_view::npos) {
    std::string_view rest = tag.substr(cut + 1);
    region = text::ascii_lower(rest.substr(0, rest.find_first_of("-_")));
  }
  return {std::move(language), std::move(region)};
}

}  // namespace

std::string person_locale_from_environment() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

int locale_closeness(std::string_view voice_language, std::string_view person_locale) {
  const auto [language, region] = language_and_region(voice_language);
  const auto [own_language, own_region] = language_and_region(person_locale);
  const bool same_language = !language.empty() && language == own_language;
  int region_rank = 2;
  if (same_language && !region.empty() && region == own_region) {
    region_rank = 0;
  } else if ((language == "en" && region == "us") || (language == "es" && region == "es")) {
    region_rank = 1;
  }
  return (same_language ? 0 : kOtherLanguage) + region_rank;
}

std::int32_t voice_priority(const Voice& voice, std::optional<SupportedLanguage> language) {
  std::int32_t score = 0;
  if (language && language_matches_voice(*language, voice)) score += 1000;
  const std::string id = text::ascii_lower(voice.id);
  auto has = [&id](std::string_view part) { return id.find(part) != std::string::npos; };
  if (has("ttsbundle.siri")) score += 300;
  if (has(".voice.compact.")) score += 250;
  if (voice.gender) score += 100;
  if (has(".eloquence.")) score -= 100;
  if (has("speech.synthesis.voice.")) score -= 200;
  return score;
}

bool language_matches_voice(SupportedLanguage language, const Voice& voice) {
  auto voice_language = from_locale(voice.language);
  return voice_language && *voice_language == language;
}

std::string language_tag(std::optional<SupportedLanguage> language,
                         std::string_view person_locale) {
  const auto [own_language, own_region] = language_and_region(person_locale);
  std::string code;
  if (language) {
    code = *language == SupportedLanguage::Spanish ? "es" : "en";
  } else {
    code = own_language == "es" ? "es" : "en";
  }
  // The region the ranking puts first: the person's own within their language, else the
  // language's most common one.
  std::string region = code == own_language && !own_region.empty() ? own_region
                       : code == "es"                              ? "es"
                                                                   : "us";
  for (char& c : region) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return code + "-" + region;
}

namespace {

std::vector<Voice> ranked_catalogue(std::vector<Voice> all, std::string_view person_locale,
                                    bool word_progress = false) {
  struct Ranked {
    std::int32_t score;
    int closeness;
    Voice voice;
  };
  std::vector<Ranked> ranked;
  for (Voice& voice : all) {
    if (!from_locale(voice.language)) continue;
    std::int32_t score = voice_priority(voice, std::nullopt);
    int closeness = locale_closeness(voice.language, person_locale);
    ranked.push_back(Ranked{score, closeness, std::move(voice)});
  }
  // The score rows name other platforms' voice ids and rarely separate speech-dispatcher's
  // voices; the person's language then comes first, then the better engine (see
  // voice_ranking.h), then closeness to the person's region, so that en-US (or the person's own
  // region) is not ranked behind en-029 by byte order. std::string compares as unsigned bytes:
  // "Zoe" before "alex", "en-US" before "es-ES".
  std::stable_sort(ranked.begin(), ranked.end(), [word_progress](const Ranked& a, const Ranked& b) {
    if (a.score != b.score) return a.score > b.score;
    if (a.closeness / kOtherLanguage != b.closeness / kOtherLanguage) {
      return a.closeness < b.closeness;
    }
    if (int quality = compare_voice_quality(a.voice, b.voice, word_progress); quality != 0) {
      return quality < 0;
    }
    if (a.closeness != b.closeness) return a.closeness < b.closeness;
    if (a.voice.language != b.voice.language) return a.voice.language < b.voice.language;
    return a.voice.name < b.voice.name;
  });

  std::vector<Voice> voices;
  voices.reserve(ranked.size());
  for (Ranked& r : ranked) voices.push_back(std::move(r.voice));
  return voices;
}

}  // namespace

Result<std::vector<Voice>> SpeechEngine::supported_voices() {
  auto all = tts_->voices();
  if (!all) return fail(Error("failed to enumerate system voices", std::move(all.error())));
  return ranked_catalogue(std::move(*all), person_locale_);
}

Result<std::vector<VoiceInfo>> SpeechEngine::voices(bool details) {
  auto catalogue = supported_voices();
  if (!catalogue) return fail(std::move(catalogue.error()));
  std::vector<VoiceInfo> infos;
  infos.reserve(catalogue->size());
  for (Voice& voice : *catalogue) {
    VoiceInfo info;
    info.id = voice.id;
    info.name = voice.name;
    info.locale = voice.language;
    if (voice.gender) info.gender = *voice.gender == Gender::Male ? "Male" : "Female";
    if (details) {
      info.details = VoiceDetails{voice.engine, std::string(word_timing_name(word_timing(voice)))};
    }
    infos.push_back(std::move(info));
  }
  return infos;
}

void SpeechEngine::note_voice(const Voice& voice) {
  // Another voice speaks at another pace.
  if (voice.id != voice_id_) estimator_->forget_speed();
  voice_id_ = voice.id;
  voice_timing_ = word_timing(voice);
}

Result<void> SpeechEngine::configure(const std::optional<std::string>& voice_id,
                                     std::optional<SupportedLanguage> language, float rate,
                                     bool word_progress) {
  voice_set_.clear();  // a configured voice is always sent again
  if (rate != rate_) estimator_->forget_speed();
  rate_ = rate;
  word_progress_ = word_progress;
  float mapped = engine_rate(rate, tts_->min_rate(), tts_->normal_rate(), tts_->max_rate());
  auto rate_set = tts_->set_rate(mapped);
  if (!rate_set) return fail(Error("failed to set speech rate", std::move(rate_set.error())));

  // The facade may have no list at hand (speech-dispatcher's backend lists only when asked:
  // a listing takes the daemon up to a second, during which it answers nobody). Then, unless a
  // voice was asked for, the synthesizer picks the voice for the tag the ranking would put
  // first, instead of the speech waiting for a list.
  auto listed = tts_->listed_voices();
  if (!listed) return fail(Error("failed to enumerate system voices", std::move(listed.error())));
  if (!*listed && !voice_id && set_language(language_tag(language, person_locale_))) {
    // The synthesizer's own pick, of its default engine.
    note_voice(Voice{});
    return {};
  }
  Result<std::vector<Voice>> catalogue = std::vector<Voice>{};
  if (*listed) {
    catalogue = ranked_catalogue(std::move(**listed), person_locale_, word_progress);
  } else {
    auto all = tts_->voices();
    if (!all) return fail(Error("failed to enumerate system voices", std::move(all.error())));
    catalogue = ranked_catalogue(std::move(*all), person_locale_, word_progress);
  }
  if (!catalogue) return fail(std::move(catalogue.error()));

  if (voice_id && catalogue->empty()) return fail(Error(kNoVoices));
  // An unknown id, or a voice of the other language, is not an error: the automatic choice then
  // speaks the document in its own language.
  const Voice* chosen = best_voice(*catalogue, language, voice_id);

  if (!chosen) {
    if (catalogue->empty()) return fail(Error(kNoVoices));
    auto fallback = set_voice(catalogue->front());
    if (!fallback) {
      return fail(Error("failed to set fallback voice", std::move(fallback.error())));
    }
    note_voice(catalogue->front());
    return {};
  }

  auto voice_set = set_voice(*chosen);
  if (!voice_set) return fail(Error("failed to set voice", std::move(voice_set.error())));
  note_voice(*chosen);
  return {};
}

const Voice* best_voice(std::span<const Voice> catalogue, std::optional<SupportedLanguage> language,
                        const std::optional<std::string>& user_voice) {
  if (user_voice) {
    for (const Voice& voice : catalogue) {
      if (voice.id == *user_voice && (!language || language_matches_voice(*language, voice))) {
        return &voice;
      }
    }
  }
  // The catalogue is ranked by the score without a language, and the language adds the same to
  // every voice that speaks it: the first that qualifies scores highest.
  const Voice* chosen = nullptr;
  std::int32_t best = 0;
  for (const Voice& voice : catalogue) {
    if (language && !language_matches_voice(*language, voice)) continue;
    const std::int32_t score = voice_priority(voice, language);
    if (!chosen || score > best) {
      chosen = &voice;
      best = score;
    }
  }
  return chosen;
}

Result<void> SpeechEngine::set_voice(const Voice& voice) {
  std::string key = "voice:" + voice.id;
  if (key == voice_set_) return {};
  voice_set_.clear();  // unknown if the facade fails half-way
  if (auto set = tts_->set_voice(voice); !set) return set;
  voice_set_ = std::move(key);
  voice_set_id_ = voice.id;
  return {};
}

Result<void> SpeechEngine::set_language(std::string_view tag) {
  std::string key = "tag:" + std::string(tag);
  if (key == voice_set_) return {};
  voice_set_.clear();
  if (auto set = tts_->set_language(tag); !set) return set;
  voice_set_ = std::move(key);
  voice_set_id_.reset();
  return {};
}

Result<std::optional<std::string>> SpeechEngine::use_voice_for(
    std::optional<SupportedLanguage> language, const std::optional<std::string>& user_voice) {
  // Only a list already at hand: a listing would hold the daemon (and every key press) for up to
  // a second.
  auto listed = tts_->listed_voices();
  if (!listed) return fail(Error("failed to enumerate system voices", std::move(listed.error())));
  if (!*listed) {
    if (user_voice) return voice_set_id_;  // set by `configure`, which listed to find it
    if (auto set = set_language(language_tag(language, person_locale_)); !set) {
      return fail(Error("failed to set voice", std::move(set.error())));
    }
    note_voice(Voice{});
    return std::optional<std::string>();
  }
  const std::vector<Voice> catalogue =
      ranked_catalogue(std::move(**listed), person_locale_, word_progress_);
  const Voice* chosen = best_voice(catalogue, language, user_voice);
  if (!chosen) return voice_set_id_;
  if (auto set = set_voice(*chosen); !set) {
    return fail(Error("failed to set voice", std::move(set.error())));
  }
  note_voice(*chosen);
  return voice_set_id_;
}

}  // namespace mdspeak
