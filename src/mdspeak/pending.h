// The requests sent to the service and not answered yet, each with what it was for, so that an
// answer is told by what it answers rather than by the shape of its id.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

namespace mdspeak::client {

enum class Purpose {
  kInit,
  kLoad,         // the document
  kLoadHead,     // a long document's head, spoken while the whole loads
  kLoadWhere,    // the words of `w`, a document of their own
  kPrepare,      // the document's utterances
  kPrepareHead,  // the head's
  kSummary,      // the summary's utterances
  kVoices,       // to check --voice
  kSpeak,        // the document or the summary, from some utterance
  kSpeakHead,    // the head, up to where it ends
  kSpeakWhere,   // the words of `w`
  kPause,
  kResume,
  kStop,        // before exiting
  kStopSpeech,  // a pause where the service has none: the utterance starts again on resume
};

constexpr bool is_speech(Purpose purpose) {
  return purpose == Purpose::kSpeak || purpose == Purpose::kSpeakHead ||
         purpose == Purpose::kSpeakWhere;
}

class PendingRequests {
 public:
  using Clock = std::chrono::steady_clock;

  void add(const std::string& id, Purpose purpose) { table_[id] = {purpose, Clock::now()}; }
  // What the answer with `id` answers; none for an answer nobody waits for (any more).
  std::optional<Purpose> take(const std::string& id) {
    auto found = table_.find(id);
    if (found == table_.end()) return std::nullopt;
    Purpose purpose = found->second.purpose;
    table_.erase(found);
    return purpose;
  }
  // A new speech replaces the old: answers to earlier speech requests are of no interest.
  void forget_speech() {
    std::erase_if(table_, [](const auto& entry) { return is_speech(entry.second.purpose); });
  }
  // Speech whose answer has not come: events before it belong to older speech.
  bool awaits_speech() const { return oldest_speech().has_value(); }
  std::optional<Clock::time_point> oldest_speech() const {
    std::optional<Clock::time_point> oldest;
    for (const auto& [id, entry] : table_) {
      if (is_speech(entry.purpose) && (!oldest || entry.sent < *oldest)) oldest = entry.sent;
    }
    return oldest;
  }
  bool awaits(Purpose purpose) const {
    for (const auto& [id, entry] : table_) {
      if (entry.purpose == purpose) return true;
    }
    return false;
  }
  void forget(Purpose purpose) {
    std::erase_if(table_, [purpose](const auto& entry) { return entry.second.purpose == purpose; });
  }

 private:
  struct Entry {
    Purpose purpose;
    Clock::time_point sent;
  };
  std::unordered_map<std::string, Entry> table_;
};

}  // namespace mdspeak::client
