// Speech rendered to memory by libespeak-ng in its synchronous mode: samples and the sample
// position of every word, as fast as the CPU allows, with no sound server or daemon.
//
// espeak-ng keeps all of its state in globals, so there is one renderer per process: `acquire`
// hands it to one thread at a time (a second caller waits), and every call on the handle runs on
// that thread. The library is initialised once and stays loaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "speech/tts.h"

namespace mdspeak::exporting {

// What one utterance sounds like, handed over as it is made.
class RenderSink {
 public:
  virtual ~RenderSink() = default;
  // The next samples (mono, signed 16-bit) of the utterance.
  virtual Result<void> samples(std::span<const std::int16_t> samples) = 0;
  // Word `word` (index into the marked words) begins `sample` samples after the utterance began.
  virtual void word(std::size_t word, std::uint64_t sample) = 0;
};

class EspeakRenderer {
 public:
  // The process's renderer, held until the handle goes. Fails when libespeak-ng or its data
  // cannot be loaded.
  class Handle;
  static Result<Handle> acquire();

  // The plain voices espeak-ng offers for English and Spanish, named and tagged as
  // speech-dispatcher's espeak-ng module lists them (espeak-ng's own name as the id), without
  // MBROLA voices and variants, in espeak-ng's order.
  std::vector<Voice> voices() const;

  Result<void> set_voice(const Voice& voice);
  void set_words_per_minute(int words_per_minute);

  int sample_rate() const { return sample_rate_; }

  // Renders `text` with a mark before each of `words`; false when `cancel` was set (the
  // utterance is cut short). A failure of the sink ends the rendering and is returned.
  Result<bool> render(std::string_view text, std::span<const WordMark> words, RenderSink& sink,
                      const std::atomic<bool>& cancel);

 private:
  explicit EspeakRenderer(int sample_rate) : sample_rate_(sample_rate) {}
  int sample_rate_;
};

class EspeakRenderer::Handle {
 public:
  Handle(EspeakRenderer& renderer, std::unique_lock<std::mutex> lock)
      : renderer_(&renderer), lock_(std::move(lock)) {}
  EspeakRenderer* operator->() const { return renderer_; }
  EspeakRenderer& operator*() const { return *renderer_; }

 private:
  EspeakRenderer* renderer_;
  std::unique_lock<std::mutex> lock_;
};

// "en-us" -> "en-US", "en-gb-x-rp" -> "en-GB-X-RP": the form speech-dispatcher lists languages in.
std::string language_tag(std::string_view espeak_language);

}  // namespace mdspeak::exporting
