#include "language/language.h"

#include <system_error>
#include <utility>

#include "common/text.h"
#include "common/unicode.h"
#include "language/ngram_detector.h"

namespace mdspeak {
namespace {

// Shorter texts say too little to tell the two languages apart.
constexpr std::size_t kMinimumLetters = 20;

// Counts Alphabetic characters only as far as the minimum, so a long document costs nothing here.
// White space is neither counted nor part of any word, so collapsing its runs first could change
// neither this count nor the detector's answer; the text is read as given instead of copied.
bool has_enough_letters(std::span<const std::string_view> pieces) {
  std::size_t letters = 0;
  for (const std::string_view text : pieces) {
    std::size_t pos = 0;
    while (pos < text.size()) {
      if (unicode::is_alphabetic(unicode::next_code_point(text, pos)) &&
          ++letters >= kMinimumLetters) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

std::string_view language_code(SupportedLanguage language) {
  return language == SupportedLanguage::English ? "en" : "es";
}

std::optional<SupportedLanguage> from_locale(std::string_view locale) {
  const std::string_view primary = locale.substr(0, locale.find_first_of("-_"));
  if (primary.size() != 2) return std::nullopt;
  const char first = text::ascii_lower(primary[0]);
  const char second = text::ascii_lower(primary[1]);
  if (first == 'e' && second == 'n') return SupportedLanguage::English;
  if (first == 'e' && second == 's') return SupportedLanguage::Spanish;
  return std::nullopt;
}

std::optional<SupportedLanguage> detect_supported_language(std::string_view text) {
  return detect_supported_language(std::span<const std::string_view>(&text, 1));
}

std::optional<SupportedLanguage> detect_supported_language(
    std::span<const std::string_view> pieces) {
  if (!has_enough_letters(pieces)) return std::nullopt;
  return language_detail::shared_detector().classify(pieces);
}

BackgroundDetection::BackgroundDetection(std::vector<std::string_view> pieces)
    : pieces_(std::move(pieces)) {
  // Below this a thread costs more than the detection it would overlap.
  constexpr std::size_t kWorthAThread = std::size_t{1} << 16;
  std::size_t size = 0;
  for (const std::string_view piece : pieces_) size += piece.size();
  if (size < kWorthAThread) return;
  try {
    worker_ = std::thread([this] { answer_ = detect_supported_language(pieces_); });
  } catch (const std::system_error&) {
    // No thread: `get` detects on the caller's.
  }
}

BackgroundDetection::~BackgroundDetection() {
  if (worker_.joinable()) worker_.join();
}

std::optional<SupportedLanguage> BackgroundDetection::get() {
  if (worker_.joinable()) {
    worker_.join();
    done_ = true;
  }
  if (!done_) {
    answer_ = detect_supported_language(pieces_);
    done_ = true;
  }
  return answer_;
}

}  // namespace mdspeak
