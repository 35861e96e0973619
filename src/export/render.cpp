#include "export/render.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "export/encoder.h"
#include "export/espeak_renderer.h"
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
    rate_ = espeak.sample_rate();
    auto encoder = open_encoder(choice->voice.name);
    if (!encoder) return fail(std::move(encoder.error()));
    encoder_ = std::move(*encoder);
    if (files_.transcript) {
      transcript_.emplace(transcript_format_for(job_.transcript_path.value_or("")),
                          job_.transcript_words);
      text_out_ = transcript_->header();
    }

    const auto starts = chapter_starts(job_);
    std::size_t next_chapter = 0;
    const std::uint64_t total = job_.utterances.size();
    auto last_progress = Clock::now();
    for (std::size_t i = 0; i < job_.utterances.size(); ++i) {
      if (cancel_.load()) return cancelled();
      if (next_chapter < starts.size() && starts[next_chapter].first == i) {
        if (auto started = start_chapter(starts[next_chapter].second); !started) {
          return fail(std::move(started.error()));
        }
        ++next_chapter;
      }
      auto read = read_utterance(espeak, i);
      if (!read) return fail(std::move(read.error()));
      if (!*read) return cancelled();
      const auto now = Clock::now();
      if (now - last_progress >= Exporter::kProgressInterval) {
        last_progress = now;
        updates_.send(ExportProgress{i + 1, total, to_ms(position_, rate_)});
      }
    }
    return finish(choice->voice.name);
  }

 private:
  Result<std::unique_ptr<Encoder>> open_encoder(const std::string& voice) {
    Tags tags;
    tags.title = job_.title;
    tags.artist = "mdspeak";
    char comment[256];
    std::snprintf(comment, sizeof comment,
                  "Read aloud by mdspeak with the espeak-ng voice %s at rate %.2g", voice.c_str(),
                  static_cast<double>(job_.rate));
    tags.comment = comment;
    auto encoder = Encoder::open(format_, rate_, files_.audio.fd(), files_.spool, tags);
    if (!encoder) return fail(Error(cannot("write", encoder.error())));
    return encoder;
  }

  // A pause after what came before, then a new chapter from here.
  Result<void> start_chapter(const std::string& name) {
    if (position_ > 0) {
      std::vector<std::int16_t> silence(static_cast<std::size_t>(rate_) * kChapterPauseMs / 1000,
                                        0);
      if (auto written = encoder_->write(silence); !written) {
        return fail(Error(cannot("write", written.error())));
      }
      position_ += silence.size();
    }
    if (!chapters_.empty()) chapters_.back().end_ms = to_ms(position_, rate_);
    chapters_.push_back(Chapter{to_ms(position_, rate_), 0, name});
    return {};
  }

  // Renders utterance `i` into the audio and the transcript; false when cancelled meanwhile.
  Result<bool> read_utterance(EspeakRenderer& espeak, std::size_t i) {
    const Utterance& u = job_.utterances[i];
    const std::vector<WordMark> marks = split_words(u.text);
    UtteranceSink sink(*encoder_, marks.size());
    const auto said = job_.pronunciations ? job_.pronunciations->apply(u.text, marks, job_.language)
                                          : std::nullopt;
    auto rendered = said ? espeak.render(said->text, said->marks, sink, cancel_)
                         : espeak.render(u.text, marks, sink, cancel_);
    if (!rendered) return fail(Error(cannot("write", rendered.error())));
    if (!*rendered) return false;
    if (transcript_) {
      TimedUtterance timed{u.text,
                           u.start_offset,
                           u.end_offset,
                           to_ms(position_, rate_),
                           to_ms(position_ + sink.count(), rate_),
                           {}};
      timed.words.reserve(marks.size());
      for (std::size_t w = 0; w < marks.size(); ++w) {
        const SourceSpan source =
            job_.source_map
                ? job_.source_map->source_range(job_.indexes[i], marks[w].begin, marks[w].end)
                : SourceSpan{u.start_offset, u.end_offset};
        timed.words.push_back(TimedWord{marks[w].begin, marks[w].end, source.first, source.second,
                                        to_ms(position_ + sink.mark(w), rate_)});
      }
      transcript_->add(timed, text_out_);
      if (text_out_.size() >= kTranscriptChunk) {
        if (auto written = flush_transcript(text_out_); !written) return fail(written.error());
      }
    }
    position_ += sink.count();
    words_ += marks.size();
    return true;
  }

  // Ends the files and puts them in place.
  Result<ExportSummary> finish(const std::string& voice) {
    const std::uint64_t duration = to_ms(position_, rate_);
    if (!chapters_.empty()) chapters_.back().end_ms = duration;
    if (auto finished = encoder_->finish(chapters_); !finished) {
      return fail(Error(cannot("write", finished.error())));
    }
    if (files_.transcript) {
      if (auto written = flush_transcript(text_out_); !written) return fail(written.error());
    }
    // The transcript goes into place first: an audio file under its name promises a finished
    // export.
    if (cancel_.load()) return cancelled();
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
    ExportSummary summary = cancelled();
    summary.cancelled = false;
    summary.voice = voice;
    return summary;
  }

  std::string cannot(std::string_view what, const Error& why) const {
    return "cannot " + std::string(what) + " " + job_.path + ": " + why.message;
  }

  Result<void> flush_transcript(std::string& text) {
    auto written = write_all(files_.transcript->fd(), text, *job_.transcript_path);
    text.clear();
    return written;
  }

  // What was written so far, as a cancelled export's summary.
  ExportSummary cancelled() const {
    ExportSummary summary;
    summary.path = job_.path;
    summary.format = format_;
    summary.transcript_path = job_.transcript_path;
    summary.duration_ms = to_ms(position_, rate_);
    summary.chapters = has_chapters(format_) ? chapters_.size() : 0;
    summary.words = words_;
    summary.cancelled = true;
    return summary;
  }

  ExportJob job_;
  Format format_;
  Files& files_;
  const Sender<ExportUpdate>& updates_;
  const std::atomic<bool>& cancel_;
  int rate_ = 0;
  std::unique_ptr<Encoder> encoder_;
  std::optional<TranscriptWriter> transcript_;
  std::string text_out_;  // transcript text not yet written
  std::vector<Chapter> chapters_;
  std::uint64_t position_ = 0;  // samples written so far
  std::uint64_t words_ = 0;
};

}  // namespace

Result<ExportSummary> render_export(ExportJob job, Format format, Files& files,
                                    const Sender<ExportUpdate>& updates,
                                    const std::atomic<bool>& cancel) {
  return Run(std::move(job), format, files, updates, cancel).go();
}

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

}  // namespace mdspeak::exporting
