#include "export/espeak_renderer.h"

#include <espeak-ng/speak_lib.h>

#include <cctype>
#include <cstring>

#include "language/language.h"
#include "speech/speechd_ssip.h"

namespace mdspeak::exporting {
namespace {

// The rendering in progress on the thread that holds the renderer; the library's callback has
// no other way to reach it.
struct Rendering {
  RenderSink* sink = nullptr;
  const std::atomic<bool>* cancel = nullptr;
  std::optional<Error> failure;
  bool cancelled = false;
};
thread_local Rendering* t_rendering = nullptr;

int on_synth(short* wav, int count, espeak_EVENT* events) {
  Rendering* r = t_rendering;
  if (r == nullptr) return 1;
  // Marks come before the samples they point into, so a word is known before its sound.
  for (espeak_EVENT* e = events; e != nullptr && e->type != espeakEVENT_LIST_TERMINATED; ++e) {
    if (e->type != espeakEVENT_MARK || e->id.name == nullptr) continue;
    if (auto word = speechd::mark_word(e->id.name)) {
      r->sink->word(*word, static_cast<std::uint64_t>(e->sample < 0 ? 0 : e->sample));
    }
  }
  if (wav != nullptr && count > 0) {
    auto written = r->sink->samples(std::span<const std::int16_t>(
        reinterpret_cast<const std::int16_t*>(wav), static_cast<std::size_t>(count)));
    if (!written) {
      r->failure = written.error();
      return 1;
    }
  }
  if (r->cancel->load(std::memory_order_relaxed)) {
    r->cancelled = true;
    return 1;
  }
  return 0;
}

std::mutex g_mutex;

}  // namespace

std::string language_tag(std::string_view espeak_language) {
  // The daemon's module upper-cases everything after the language: "en-gb-x-rp" -> "en-GB-X-RP".
  std::string tag(espeak_language);
  const std::size_t dash = tag.find('-');
  if (dash == std::string::npos) return tag;
  for (std::size_t i = dash + 1; i < tag.size(); ++i) {
    tag[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(tag[i])));
  }
  return tag;
}

Result<EspeakRenderer::Handle> EspeakRenderer::acquire() {
  std::unique_lock lock(g_mutex);
  // Made once, under the lock, and never torn down: espeak-ng cannot be initialised twice.
  static std::optional<EspeakRenderer> renderer;
  static std::optional<Error> failure;
  if (!renderer && !failure) {
    // Without DONT_EXIT the library ends the process when its data is missing. The buffer
    // length (ms) sets how often the callback sees samples, and so how soon a cancel is seen.
    const int rate =
        espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 200, nullptr, espeakINITIALIZE_DONT_EXIT);
    if (rate <= 0) {
      failure = Error("failed to initialize espeak-ng (is espeak-ng-data installed?)");
    } else {
      espeak_SetSynthCallback(on_synth);
      renderer.emplace(EspeakRenderer(rate));
    }
  }
  if (failure) return fail(*failure);
  return Handle(*renderer, std::move(lock));
}

std::vector<Voice> EspeakRenderer::voices() const {
  std::vector<Voice> out;
  const espeak_VOICE** list = espeak_ListVoices(nullptr);
  for (const espeak_VOICE** v = list; v != nullptr && *v != nullptr; ++v) {
    const espeak_VOICE& voice = **v;
    if (voice.name == nullptr || voice.languages == nullptr || voice.identifier == nullptr) {
      continue;
    }
    // MBROLA voices need data espeak-ng does not ship; speech-dispatcher leaves them out too.
    if (std::strncmp(voice.identifier, "mb/", 3) == 0) continue;
    // The list starts with a priority byte, then the first language.
    const std::string tag = language_tag(voice.languages + 1);
    if (!from_locale(tag)) continue;
    out.push_back(Voice{voice.name, voice.name, std::nullopt, tag});
  }
  return out;
}

Result<void> EspeakRenderer::set_voice(const Voice& voice) {
  if (espeak_SetVoiceByName(voice.id.c_str()) != EE_OK) {
    return fail(Error("failed to set espeak-ng voice '" + voice.id + "'"));
  }
  return {};
}

void EspeakRenderer::set_words_per_minute(int words_per_minute) {
  espeak_SetParameter(espeakRATE, words_per_minute, 0);
}

Result<bool> EspeakRenderer::render(std::string_view text, std::span<const WordMark> words,
                                    RenderSink& sink, const std::atomic<bool>& cancel) {
  // The same document speech-dispatcher gets for live speech, so both sound and pause alike.
  const std::string document = speechd::ssml(text, words);
  Rendering rendering{&sink, &cancel, std::nullopt, false};
  t_rendering = &rendering;
  // ENDPAUSE: the sentence pause after each utterance, as the daemon's module asks for.
  const espeak_ERROR status =
      espeak_Synth(document.c_str(), document.size() + 1, 0, POS_CHARACTER, 0,
                   espeakCHARS_UTF8 | espeakSSML | espeakENDPAUSE, nullptr, nullptr);
  t_rendering = nullptr;
  if (rendering.failure) return fail(std::move(*rendering.failure));
  if (rendering.cancelled) return false;
  if (status != EE_OK) return fail(Error("espeak-ng failed to synthesize an utterance"));
  return true;
}

}  // namespace mdspeak::exporting
