// Exporting a document's speech to an audio file: the utterances are rendered by espeak-ng with
// the voice and speed live speech would use, encoded as they come, cut into chapters at
// headings, and described word by word in a transcript.
//
// An export runs on a worker thread of its own (it owns the espeak-ng renderer while it runs),
// so the service goes on answering requests. The worker only sends `ExportUpdate`s over a
// channel whose wakeup the main loop waits on; the main thread starts, cancels and reads
// updates. One export at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "common/channel.h"
#include "common/error.h"
#include "export/encoder.h"
#include "language/language.h"
#include "markdown/markdown.h"
#include "speech/pronunciations.h"

namespace mdspeak::exporting {

struct ExportJob {
  std::string path;
  std::optional<Format> format;  // none: from the path's extension
  std::optional<std::string> transcript_path;
  bool transcript_words = false;  // one cue per word instead of per utterance

  // What is read, in order, with each one's position in the document's utterance list (for
  // `source_map`) and, for headings, their level (0 for other utterances).
  std::vector<Utterance> utterances;
  std::vector<std::size_t> indexes;
  std::vector<std::uint8_t> heading_levels;
  // Word-level source ranges; none (the summary) maps every word to its utterance's range.
  std::optional<TextSourceMap> source_map;
  // Headings of this level or above start chapters.
  unsigned chapter_level = 2;

  std::optional<SupportedLanguage> language;
  // The user's pronunciations, applied to what the synthesizer renders (none: the texts as read).
  std::shared_ptr<const PronunciationList> pronunciations;
  std::optional<std::string> voice_id;
  float rate = 1.0f;
  std::string title;
  std::string person_locale;
};

struct ExportProgress {
  std::uint64_t done = 0;  // utterances rendered
  std::uint64_t total = 0;
  std::uint64_t audio_ms = 0;
};

struct ExportSummary {
  std::string path;
  Format format = Format::Wav;
  std::optional<std::string> transcript_path;
  std::uint64_t duration_ms = 0;
  std::uint64_t chapters = 0;
  std::uint64_t words = 0;
  bool cancelled = false;
  std::string voice;  // the espeak-ng voice it was read with
};

// Progress while the export runs, then exactly one summary or failure.
using ExportUpdate = std::variant<ExportProgress, ExportSummary, Error>;

// Where the chapters of `job` begin: (utterance position in the job, chapter name).
std::vector<std::pair<std::size_t, std::string>> chapter_starts(const ExportJob& job);

class Exporter {
 public:
  // Updates wake the waiters of `wakeup` (the main loop's).
  explicit Exporter(std::shared_ptr<Wakeup> wakeup);
  // Cancels a running export and waits for it, so that its temporary files are gone.
  ~Exporter();
  Exporter(const Exporter&) = delete;
  Exporter& operator=(const Exporter&) = delete;

  // True from `start` until its final update has been taken by `next`.
  bool running() const { return worker_.joinable(); }
  // Checks the paths, creates the temporary files and starts the worker; fails at once, with
  // the reason, when the job cannot be started.
  Result<void> start(ExportJob job);
  // Asks the running export to stop; its final update then says it was cancelled.
  void cancel();
  // The next update, if one is waiting. Taking the final one ends the worker.
  std::optional<ExportUpdate> next();

  // Progress updates come at most this often.
  static constexpr std::chrono::milliseconds kProgressInterval{250};

 private:
  std::shared_ptr<Wakeup> wakeup_;
  std::optional<Receiver<ExportUpdate>> updates_;
  std::shared_ptr<std::atomic<bool>> cancel_;
  std::thread worker_;
};

}  // namespace mdspeak::exporting
