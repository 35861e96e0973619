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
#include <string_view>
#include <thread>
#include <vector>

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

// `detect_supported_language` of pieces on a thread of its own, so that a caller can do other
// work meanwhile; `get` gives the answer, reading the pieces the thread has not reached yet itself.
// The pieces' texts must stay put until then. Short texts, or a failure to start a thread, make it
// detect within `get` alone.
class BackgroundDetection {
 public:
  explicit BackgroundDetection(std::vector<std::string_view> pieces);
  ~BackgroundDetection();
  BackgroundDetection(const BackgroundDetection&) = delete;
  BackgroundDetection& operator=(const BackgroundDetection&) = delete;

  std::optional<SupportedLanguage> get();

 private:
  struct Shared;  // what the thread and `get` share

  std::vector<std::string_view> pieces_;
  std::unique_ptr<Shared> shared_;
  std::optional<SupportedLanguage> answer_;
  std::thread worker_;
  bool done_ = false;
};

}  // namespace mdspeak
