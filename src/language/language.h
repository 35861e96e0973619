// Language detection and locale mapping: the only place that knows which languages the service
// can speak.
//
// `detect_supported_language` answers English, Spanish or nothing for a text of at least 20
// letters, using an n-gram scorer over English and Spanish profiles embedded at build time. It is
// pure and safe to call from any thread; the detector is built once, on first use.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace mdspeak {

enum class SupportedLanguage : std::uint8_t { English, Spanish };

// "en" or "es".
std::string_view language_code(SupportedLanguage language);

// en-US, en_GB, EN, es-419 map; the primary subtag decides, ASCII case ignored, nothing trimmed.
std::optional<SupportedLanguage> from_locale(std::string_view locale);

std::optional<SupportedLanguage> detect_supported_language(std::string_view text);

}  // namespace mdspeak
