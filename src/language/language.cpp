#include "language/language.h"

#include <algorithm>
#include <atomic>
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

// The pieces are taken from the front in runs of this many, by the worker and by `get` alike.
constexpr std::size_t kPiecesPerRun = 1024;

struct BackgroundDetection::Shared {
  std::atomic<std::size_t> next{0};  // the first piece no thread has taken
  language_detail::NgramDetector::Evidence worker;
};

namespace {

// Gathers runs of pieces not yet taken into `evidence` until none is left.
void gather_runs(std::span<const std::string_view> pieces, std::atomic<std::size_t>& next,
                 language_detail::NgramDetector::Evidence& evidence) {
  const language_detail::NgramDetector& detector = language_detail::shared_detector();
  for (;;) {
    const std::size_t from = next.fetch_add(kPiecesPerRun);
    if (from >= pieces.size()) return;
    detector.gather(pieces.subspan(from, std::min(kPiecesPerRun, pieces.size() - from)), evidence);
  }
}

}  // namespace

BackgroundDetection::BackgroundDetection(std::vector<std::string_view> pieces)
    : pieces_(std::move(pieces)), shared_(std::make_unique<Shared>()) {
  // Below this a thread costs more than the detection it would overlap.
  constexpr std::size_t kWorthAThread = std::size_t{1} << 16;
  std::size_t size = 0;
  for (const std::string_view piece : pieces_) size += piece.size();
  if (size < kWorthAThread) return;
  try {
    worker_ = std::thread([this] { gather_runs(pieces_, shared_->next, shared_->worker); });
  } catch (const std::system_error&) {
    // No thread: `get` detects on the caller's.
  }
}

BackgroundDetection::~BackgroundDetection() {
  // Nothing more to take: the worker ends with the run it holds.
  shared_->next = pieces_.size();
  if (worker_.joinable()) worker_.join();
}

std::optional<SupportedLanguage> BackgroundDetection::get() {
  if (!done_) {
    done_ = true;
    // Too few letters: what the worker has read is not needed (the destructor stops it).
    if (!has_enough_letters(pieces_)) return answer_;
    // The caller takes what the worker has not reached yet, then the two are added up.
    language_detail::NgramDetector::Evidence evidence;
    gather_runs(pieces_, shared_->next, evidence);
    if (worker_.joinable()) worker_.join();
    evidence += shared_->worker;
    answer_ = language_detail::shared_detector().classify(evidence);
  }
  return answer_;
}

}  // namespace mdspeak
