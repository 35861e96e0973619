#include "language/language.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/pipeline.h"
#include "common/text.h"
#include "common/unicode.h"
#include "language/ngram_detector.h"

namespace mdspeak {
namespace {

// Shorter texts say too little to tell the two languages apart.
constexpr std::size_t kMinimumLetters = 20;

// Adds the Alphabetic characters of `text` to `letters`, counting only as far as the minimum, so
// a long document costs nothing here.
// White space is neither counted nor part of any word, so collapsing its runs first could change
// neither this count nor the detector's answer; the text is read as given instead of copied.
void count_letters(std::string_view text, std::size_t& letters,
                   std::size_t limit = kMinimumLetters) {
  std::size_t pos = 0;
  while (letters < limit && pos < text.size()) {
    if (unicode::is_alphabetic(unicode::next_code_point(text, pos))) ++letters;
  }
}

bool has_enough_letters(std::span<const std::string_view> pieces,
                        std::size_t minimum = kMinimumLetters) {
  std::size_t letters = 0;
  for (const std::string_view text : pieces) {
    count_letters(text, letters, minimum);
    if (letters >= minimum) return true;
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

std::optional<SupportedLanguage> detect_passage_language(std::span<const std::string_view> pieces,
                                                         PassageEvidence minimum) {
  if (!has_enough_letters(pieces, std::max<std::size_t>(minimum.letters, 1))) return std::nullopt;
  const language_detail::NgramDetector& detector = language_detail::shared_detector();
  std::string joined;
  for (const std::string_view piece : pieces) {
    if (!joined.empty()) joined.push_back(' ');
    joined.append(piece);
  }
  if (std::abs(detector.english_margin(joined)) < minimum.margin) return std::nullopt;
  return detector.classify(pieces);
}

namespace {

constexpr std::size_t kRunBytes = std::size_t{1} << 18;
// Up to 16 MB of text waits for the thread rather than being read by the caller: on a busy
// machine the thread (at nice 10) falls behind, and every run the caller reads itself delays the
// load's answer; runs still waiting are read after it, when the language is asked for. (With 8
// waiting, a 10 MB load on a busy machine took a fifth longer; its peak memory grows 1-2 MB.)
constexpr std::size_t kMostRunsWaiting = 64;

}  // namespace

struct StreamingDetection::Shared {
  // The caller's runs for the thread; the thread gives them back for their room.
  BatchChannel<std::string> runs{kMostRunsWaiting};
  language_detail::NgramDetector::Evidence worker;  // the thread's, until it has ended
  language_detail::NgramDetector::Evidence caller;
  ScopedWorker thread{[this] { runs.cancel(); }};  // last: stopped before the rest goes

  static void gather(std::string_view run, language_detail::NgramDetector::Evidence& evidence) {
    language_detail::shared_detector().gather(std::span(&run, 1), evidence);
  }
};

StreamingDetection::StreamingDetection() : shared_(std::make_unique<Shared>()) {}

StreamingDetection::~StreamingDetection() = default;

void StreamingDetection::add(std::string_view text) {
  count_letters(text, letters_);
  // A run's end is a piece's end, which reads as a space.
  if (!run_.empty()) run_ += ' ';
  run_ += text;
  if (run_.size() >= kRunBytes) hand_over();
}

void StreamingDetection::hand_over() {
  Shared& shared = *shared_;
  if (!std::exchange(thread_tried_, true)) {
    // No thread: the caller reads every run.
    shared.thread.start([&shared] {
      // The threads that make the texts come first: at nice 10 this one takes what time they
      // leave idle, and about a tenth of a core where all are busy, so that a busy machine
      // delays the answer little. (Only idle time would stall the answer behind other work.)
      // The detector is built here, off their way, on first use.
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
      language_detail::shared_detector();
      while (std::optional<std::string> run = shared.runs.take()) {
        Shared::gather(*run, shared.worker);
        shared.runs.give_back(std::move(*run));
      }
    });
  }
  // While the thread is too far behind, the caller reads the run itself.
  if (shared.thread.running() && shared.runs.try_put(run_)) return;
  Shared::gather(run_, shared.caller);
  run_.clear();
}

std::optional<SupportedLanguage> StreamingDetection::finish() {
  Shared& shared = *shared_;
  // Too few letters: nothing else matters (the destructor stops the thread).
  if (letters_ < kMinimumLetters) return std::nullopt;
  Shared::gather(run_, shared.caller);
  // Runs the thread has not taken yet are read here, then its evidence joins the caller's.
  while (std::optional<std::string> run = shared.runs.try_take()) {
    Shared::gather(*run, shared.caller);
  }
  shared.runs.close();
  shared.thread.join();
  shared.caller += shared.worker;
  return language_detail::shared_detector().classify(shared.caller);
}

}  // namespace mdspeak
