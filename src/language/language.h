// Language detection and locale mapping: the only place that knows which languages the service
// can speak.
//
// `detect_supported_language` answers English, Spanish or nothing for a text of at least 20
// letters, using an n-gram scorer over English and Spanish profiles embedded at build time. It is
// pure and safe to call from any thread; the detector is built once, on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mdspeak {

enum class SupportedLanguage : std::uint8_t { English, Spanish };

// "en" or "es".
std::string_view language_code(SupportedLanguage language);

// en-US, en_GB, EN, es-419 map; the primary subtag decides, ASCII case ignored, nothing trimmed.
std::optional<SupportedLanguage> from_locale(std::string_view locale);

std::optional<SupportedLanguage> detect_supported_language(std::string_view text);
// The answer for the pieces joined by single spaces, without building the joined text.
std::optional<SupportedLanguage> detect_supported_language(
    std::span<const std::string_view> pieces);

// A passage (one block of a document: a paragraph, an item, a table) is judged on its own text
// when it gives enough evidence: at least `letters` letters, and the detector's scores for the
// two languages (natural-log units summed over the n-grams) apart by at least `margin`. A passage
// with less ("Setup", "See also", a short command line) takes the language of what surrounds it.
// Measured on English and Spanish documentation (doc/languages.md).
struct PassageEvidence {
  std::size_t letters = 8;
  double margin = 6.0;
};
inline constexpr PassageEvidence kPassageEvidence{};
// The language of one passage (the pieces read as joined by single spaces), or nothing when it
// gives less than `minimum` evidence or the detector cannot tell.
std::optional<SupportedLanguage> detect_passage_language(
    std::span<const std::string_view> pieces, PassageEvidence minimum = kPassageEvidence);

// `detect_supported_language` of texts handed over one at a time as they are made (read as
// joined by single spaces), mostly read on a thread of its own in the meantime. The thread runs
// at a low priority, so it takes mostly what time other threads leave idle; `finish` reads what
// it has not reached. Texts are copied in runs of about 256 KB; while the thread is eight
// runs behind, the caller reads a run itself, so memory stays bounded. Small texts start no
// thread, nor does a failure to start one: the caller then reads everything.
class StreamingDetection {
 public:
  StreamingDetection();
  ~StreamingDetection();
  StreamingDetection(const StreamingDetection&) = delete;
  StreamingDetection& operator=(const StreamingDetection&) = delete;

  void add(std::string_view text);
  // The answer for every text added; call once, after the last `add`.
  std::optional<SupportedLanguage> finish();

 private:
  struct Shared;  // what the thread and the caller share

  void hand_over();

  std::string run_;          // texts not yet handed over, joined
  std::size_t letters_ = 0;  // counted up to the minimum
  std::unique_ptr<Shared> shared_;
  bool thread_tried_ = false;
};

}  // namespace mdspeak
