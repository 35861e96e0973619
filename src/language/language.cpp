#include "language/language.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

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
constexpr std::size_t kMostRunsWaiting = 8;

}  // namespace

struct StreamingDetection::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> waiting;  // runs handed over, oldest first
  std::vector<std::string> spare;   // runs read, kept for their room
  bool closing = false;
  language_detail::NgramDetector::Evidence worker;  // the thread's, until it has ended
  language_detail::NgramDetector::Evidence caller;

  // Reads the oldest waiting run into `evidence`, letting the lock go meanwhile; keeps its room.
  void read_oldest(std::unique_lock<std::mutex>& lock,
                   language_detail::NgramDetector::Evidence& evidence) {
    std::string run = std::move(waiting.front());
    waiting.pop_front();
    lock.unlock();
    const std::string_view piece = run;
    language_detail::shared_detector().gather(std::span(&piece, 1), evidence);
    run.clear();
    lock.lock();
    spare.push_back(std::move(run));
  }
};

StreamingDetection::StreamingDetection() : shared_(std::make_unique<Shared>()) {}

StreamingDetection::~StreamingDetection() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->closing = true;
    shared_->waiting.clear();
  }
  shared_->changed.notify_all();
  if (worker_.joinable()) worker_.join();
}

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
    try {
      worker_ = std::thread([&shared] {
        // The threads that make the texts come first: at nice 10 this one takes what time they
        // leave idle, and about a tenth of a core where all are busy, so that a busy machine
        // delays the answer little. (Only idle time would stall the answer behind other work.)
        // The detector is built here, off their way, on first use.
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
        language_detail::shared_detector();
        std::unique_lock lock(shared.mutex);
        for (;;) {
          shared.changed.wait(lock, [&] { return shared.closing || !shared.waiting.empty(); });
          if (shared.waiting.empty()) return;
          shared.read_oldest(lock, shared.worker);
        }
      });
    } catch (const std::system_error&) {
      // No thread: the caller reads every run.
    }
  }
  if (worker_.joinable()) {
    std::unique_lock lock(shared.mutex);
    if (shared.waiting.size() < kMostRunsWaiting) {
      shared.waiting.push_back(std::move(run_));
      run_.clear();
      if (!shared.spare.empty()) {
        run_ = std::move(shared.spare.back());
        shared.spare.pop_back();
      }
      lock.unlock();
      shared.changed.notify_one();
      return;
    }
  }
  const std::string_view piece = run_;
  language_detail::shared_detector().gather(std::span(&piece, 1), shared.caller);
  run_.clear();
}

std::optional<SupportedLanguage> StreamingDetection::finish() {
  Shared& shared = *shared_;
  // Too few letters: nothing else matters (the destructor stops the thread).
  if (letters_ < kMinimumLetters) return std::nullopt;
  const language_detail::NgramDetector& detector = language_detail::shared_detector();
  const std::string_view last = run_;
  detector.gather(std::span(&last, 1), shared.caller);
  // Runs the thread has not taken yet are read here, then its evidence joins the caller's.
  std::unique_lock lock(shared.mutex);
  while (!shared.waiting.empty()) shared.read_oldest(lock, shared.caller);
  shared.closing = true;
  lock.unlock();
  shared.changed.notify_all();
  if (worker_.joinable()) worker_.join();
  shared.caller += shared.worker;
  return detector.classify(shared.caller);
}

}  // namespace mdspeak
