#include "export/exporter.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <system_error>

#include "export/espeak_renderer.h"
#include "export/output_file.h"
#include "export/transcript.h"
#include "export/voice_choice.h"
#include "speech/words.h"

namespace mdspeak::exporting {
namespace {

using Clock = std::chrono::steady_clock;

// Silence before each chapter after the first, so that a new chapter is heard as one.
constexpr std::uint64_t kChapterPauseMs = 500;
// A transcript is written in pieces of about this size.
constexpr std::size_t kTranscriptChunk = 256 * 1024;
// An opening chapter (text before the first heading) is named by this much of its first words.
constexpr std::size_t kOpeningNameBytes = 60;

std::string opening_name(std::string_view text) {
  if (text.size() <= kOpeningNameBytes) return std::string(text);
  std::size_t cut = text.rfind(' ', kOpeningNameBytes);
  if (cut == std::string_view::npos || cut == 0) cut = kOpeningNameBytes;
  // Not inside a UTF-8 sequence.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "…";
}

Result<void> write_all(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(Error("cannot write " + path + ": " + write_failure_text(errno)));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::uint64_t to_ms(std::uint64_t samples, int rate) {
  return samples * 1000 / static_cast<std::uint64_t>(rate);
}

// Takes one utterance's sound into the encoder and notes where its words begin.
class UtteranceSink : public RenderSink {
 public:
  UtteranceSink(Encoder& encoder, std::size_t words) : encoder_(encoder), marks_(words) {}

  Result<void> samples(std::span<const std::int16_t> samples) override {
    count_ += samples.size();
    return encoder_.write(samples);
  }
  void word(std::size_t word, std::uint64_t sample) override {
    if (word < marks_.size() && !marks_[word]) marks_[word] = sample;
  }

  std::uint64_t count() const { return count_; }
  // Where word `i` begins; a word whose mark was lost begins with the word before it.
  std::uint64_t mark(std::size_t i) const {
    for (std::size_t k = i + 1; k > 0; --k) {
      if (marks_[k - 1]) return *marks_[k - 1];
    }
    return 0;
  }

 private:
  Encoder& encoder_;
  std::vector<std::optional<std::uint64_t>> marks_;
  std::uint64_t count_ = 0;
};

struct Files {
  OutputFile audio;
  int spool = -1;
  std::optional<OutputFile> transcript;
  ~Files() {
    if (spool >= 0) ::close(spool);
  }
};

class Run {
 public:
  Run(ExportJob job, Format format, Files& files, const Sender<ExportUpdate>& updates,
      const std::atomic<bool>& cancel)
      : job_(std::move(job)), format_(format), files_(files), updates_(updates), cancel_(cancel) {}

  Result<ExportSummary> go() {
    auto renderer = EspeakRenderer::acquire();
    if (!renderer) return fail(std::move(renderer.error()));
    EspeakRenderer& espeak = **renderer;
    auto choice =
        choose_voice(espeak.voices(), job_.voice_id, job_.language, job_.rate, job_.person_locale);
    if (!choice) return fail(std::move(choice.error()));
    if (auto set = espeak.set_voice(choice->voice); !set) return fail(set.error());
    espeak.set_words_per_minute(choice->words_per_minute);
    const int rate = espeak.sample_rate();

    Tags tags;
    tags.title = job_.title;
    tags.artist = "mdspeak";
    char comment[256];
    std::snprintf(comment, sizeof comment,
                  "Read aloud by mdspeak with the espeak-ng voice %s at rate %.2g",
                  choice->voice.name.c_str(), static_cast<double>(job_.rate));
    tags.comment = comment;
    auto encoder = Encoder::open(format_, rate, files_.audio.fd(), files_.spool, tags);
    if (!encoder) return fail(Error(cannot("write", encoder.error())));

    std::optional<TranscriptWriter> transcript;
    std::string text_out;
    if (files_.transcript) {
      transcript.emplace(transcript_format_for(job_.transcript_path.value_or("")),
                         job_.transcript_words);
      text_out = transcript->header();
    }

    const auto starts = chapter_starts(job_);
    std::size_t next_chapter = 0;
    std::vector<Chapter> chapters;
    std::uint64_t position = 0;  // samples written so far
    std::uint64_t words = 0;
    const std::uint64_t total = job_.utterances.size();
    auto last_progress = Clock::now();
    std::vector<std::int16_t> silence;

    for (std::size_t i = 0; i < job_.utterances.size(); ++i) {
      if (cancel_.load()) return cancelled(position, rate, chapters.size(), words);
      const Utterance& u = job_.utterances[i];
      if (next_chapter < starts.size() && starts[next_chapter].first == i) {
        if (position > 0) {
          silence.assign(static_cast<std::size_t>(rate) * kChapterPauseMs / 1000, 0);
          if (auto written = (*encoder)->write(silence); !written) {
            return fail(Error(cannot("write", written.error())));
          }
          position += silence.size();
        }
        if (!chapters.empty()) chapters.back().end_ms = to_ms(position, rate);
        chapters.push_back(Chapter{to_ms(position, rate), 0, starts[next_chapter].second});
        ++next_chapter;
      }

      const std::vector<WordMark> marks = split_words(u.text);
      UtteranceSink sink(**encoder, marks.size());
      const auto said = job_.pronunciations
                            ? job_.pronunciations->apply(u.text, marks, job_.language)
                            : std::nullopt;
      auto rendered = said ? espeak.render(said->text, said->marks, sink, cancel_)
                           : espeak.render(u.text, marks, sink, cancel_);
      if (!rendered) return fail(Error(cannot("write", rendered.error())));
      if (!*rendered) return cancelled(position, rate, chapters.size(), words);

      if (transcript) {
        TimedUtterance timed{u.text,
                             u.start_offset,
                             u.end_offset,
                             to_ms(position, rate),
                             to_ms(position + sink.count(), rate),
                             {}};
        timed.words.reserve(marks.size());
        for (std::size_t w = 0; w < marks.size(); ++w) {
          const SourceSpan source =
              job_.source_map
                  ? job_.source_map->source_range(job_.indexes[i], marks[w].begin, marks[w].end)
                  : SourceSpan{u.start_offset, u.end_offset};
          timed.words.push_back(TimedWord{marks[w].begin, marks[w].end, source.first, source.second,
                                          to_ms(position + sink.mark(w), rate)});
        }
        transcript->add(timed, text_out);
        if (text_out.size() >= kTranscriptChunk) {
          if (auto written = flush_transcript(text_out); !written) return fail(written.error());
        }
      }
      position += sink.count();
      words += marks.size();

      const auto now = Clock::now();
      if (now - last_progress >= Exporter::kProgressInterval) {
        last_progress = now;
        updates_.send(ExportProgress{i + 1, total, to_ms(position, rate)});
      }
    }

    const std::uint64_t duration = to_ms(position, rate);
    if (!chapters.empty()) chapters.back().end_ms = duration;
    if (auto finished = (*encoder)->finish(chapters); !finished) {
      return fail(Error(cannot("write", finished.error())));
    }
    if (files_.transcript) {
      if (auto written = flush_transcript(text_out); !written) return fail(written.error());
    }
    // The transcript goes into place first: an audio file under its name promises a finished
    // export.
    if (cancel_.load()) return cancelled(position, rate, chapters.size(), words);
    if (files_.transcript) {
      if (auto committed = files_.transcript->commit(); !committed) {
        return fail(committed.error());
      }
    }
    if (auto committed = files_.audio.commit(); !committed) {
      // No transcript of audio that is not there.
      if (job_.transcript_path) ::unlink(job_.transcript_path->c_str());
      return fail(committed.error());
    }
    ExportSummary summary;
    summary.path = job_.path;
    summary.format = format_;
    summary.transcript_path = job_.transcript_path;
    summary.duration_ms = duration;
    summary.chapters = has_chapters(format_) ? chapters.size() : 0;
    summary.words = words;
    summary.voice = choice->voice.name;
    return summary;
  }

 private:
  std::string cannot(std::string_view what, const Error& why) const {
    return "cannot " + std::string(what) + " " + job_.path + ": " + why.message;
  }

  Result<void> flush_transcript(std::string& text) {
    auto written = write_all(files_.transcript->fd(), text, *job_.transcript_path);
    text.clear();
    return written;
  }

  ExportSummary cancelled(std::uint64_t position, int rate, std::size_t chapters,
                          std::uint64_t words) const {
    ExportSummary summary;
    summary.path = job_.path;
    summary.format = format_;
    summary.transcript_path = job_.transcript_path;
    summary.duration_ms = to_ms(position, rate);
    summary.chapters = has_chapters(format_) ? chapters : 0;
    summary.words = words;
    summary.cancelled = true;
    return summary;
  }

  ExportJob job_;
  Format format_;
  Files& files_;
  const Sender<ExportUpdate>& updates_;
  const std::atomic<bool>& cancel_;
};

}  // namespace

std::vector<std::pair<std::size_t, std::string>> chapter_starts(const ExportJob& job) {
  std::vector<std::pair<std::size_t, std::string>> starts;
  const Utterance* previous_heading = nullptr;
  for (std::size_t i = 0; i < job.utterances.size(); ++i) {
    const Utterance& u = job.utterances[i];
    if (u.kind != UtteranceKind::Heading) {
      previous_heading = nullptr;
      continue;
    }
    const unsigned level =
        i < job.heading_levels.size() && job.heading_levels[i] != 0 ? job.heading_levels[i] : 1;
    if (level > job.chapter_level) {
      previous_heading = nullptr;
      continue;
    }
    // A long heading cut into several utterances is one chapter.
    if (previous_heading != nullptr && previous_heading->start_offset == u.start_offset &&
        previous_heading->end_offset == u.end_offset && !starts.empty()) {
      starts.back().second += " " + u.text;
    } else {
      starts.emplace_back(i, u.text);
    }
    previous_heading = &u;
  }
  if (!starts.empty() && starts.front().first != 0) {
    starts.insert(starts.begin(), {0, opening_name(job.utterances.front().text)});
  }
  return starts;
}

Exporter::Exporter(std::shared_ptr<Wakeup> wakeup) : wakeup_(std::move(wakeup)) {}

Exporter::~Exporter() {
  cancel();
  if (worker_.joinable()) worker_.join();
}

void Exporter::cancel() {
  if (cancel_) cancel_->store(true);
}

Result<void> Exporter::start(ExportJob job) {
  if (running()) return fail(Error("an export is already running"));
  if (std::string problem = target_problem(job.path); !problem.empty()) return fail(Error(problem));
  std::optional<Format> format = job.format;
  if (!format) format = format_for_path(job.path);
  if (!format) {
    return fail(Error("cannot tell the format of " + job.path +
                      " from its extension: give one of wav, flac, opus, vorbis, mp3, m4b"));
  }
  if (job.transcript_path && *job.transcript_path == job.path) {
    return fail(Error("the transcript cannot be written to the audio file's own path"));
  }
  // A file grown past the process's size limit must fail its write, not end the service.
  std::signal(SIGXFSZ, SIG_IGN);

  auto audio = OutputFile::create(job.path);
  if (!audio) return fail(std::move(audio.error()));
  std::optional<OutputFile> transcript;
  if (job.transcript_path) {
    auto made = OutputFile::create(*job.transcript_path);
    if (!made) return fail(std::move(made.error()));
    transcript.emplace(std::move(*made));
  }
  int spool = -1;
  if (has_chapters(*format)) {
    auto made = anonymous_file_beside(job.path);
    if (!made) return fail(std::move(made.error()));
    spool = *made;
  }
  std::shared_ptr<Files> files(new Files{std::move(*audio), spool, std::move(transcript)});

  auto [sender, receiver] = make_channel<ExportUpdate>(wakeup_);
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  try {
    worker_ = std::thread([job = std::move(job), format = *format, files,
                           sender = std::move(sender), cancel]() mutable {
      Run run(std::move(job), format, *files, sender, *cancel);
      auto outcome = run.go();
      // Temporary files are removed before the final update is seen.
      files.reset();
      if (outcome) {
        sender.send(std::move(*outcome));
      } else {
        sender.send(std::move(outcome.error()));
      }
    });
  } catch (const std::system_error& e) {
    return fail(Error(std::string("failed to start the export: ") + e.what()));
  }
  updates_.emplace(std::move(receiver));
  cancel_ = std::move(cancel);
  return {};
}

std::optional<ExportUpdate> Exporter::next() {
  if (!updates_) return std::nullopt;
  std::optional<ExportUpdate> update;
  if (updates_->try_recv(update) != TryRecv::Value) return std::nullopt;
  if (!std::holds_alternative<ExportProgress>(*update)) {
    worker_.join();
    updates_.reset();
    cancel_.reset();
  }
  return update;
}

}  // namespace mdspeak::exporting
