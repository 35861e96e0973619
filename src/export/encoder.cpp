#include "export/encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mdspeak::exporting {
namespace {

std::string av_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The output file as libavformat sees it; the first failing write's errno is kept so that the
// failure can say why.
struct FdOutput {
  int fd = -1;
  int error = 0;
};

int write_output(void* opaque, std::uint8_t* data, int size) {
  auto* out = static_cast<FdOutput*>(opaque);
  int done = 0;
  while (done < size) {
    const ssize_t n = ::write(out->fd, data + done, static_cast<std::size_t>(size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (out->error == 0) out->error = errno;
      return AVERROR(errno);
    }
    done += static_cast<int>(n);
  }
  return size;
}

std::int64_t seek_output(void* opaque, std::int64_t offset, int whence) {
  auto* out = static_cast<FdOutput*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat st;
    return fstat(out->fd, &st) == 0 ? st.st_size : AVERROR(errno);
  }
  const off_t at = lseek(out->fd, offset, whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : at;
}

// Encoded packets waiting for the chapters: a plain record per packet in an anonymous file,
// written and read through one buffer.
class Spool {
 public:
  explicit Spool(int fd) : fd_(fd) { buffer_.reserve(kBuffer); }

  struct Header {
    std::int64_t pts, dts, duration;
    std::int32_t flags, size;
  };

  Result<void> put(const AVPacket& packet) {
    const Header header{packet.pts, packet.dts, packet.duration, packet.flags, packet.size};
    append(&header, sizeof header);
    append(packet.data, static_cast<std::size_t>(packet.size));
    if (buffer_.size() >= kBuffer) return flush();
    return {};
  }

  Result<void> flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
      const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(Error(write_failure_text(errno)));
      }
      done += static_cast<std::size_t>(n);
    }
    buffer_.clear();
    return {};
  }

  Result<void> rewind() {
    if (auto flushed = flush(); !flushed) return flushed;
    if (lseek(fd_, 0, SEEK_SET) != 0) return fail(Error(std::strerror(errno)));
    read_at_ = 0;
    return {};
  }

  // The next packet, or false at the end.
  Result<bool> next(AVPacket& packet) {
    Header header;
    auto got = take(&header, sizeof header);
    if (!got || !*got) return got;
    if (header.size < 0 || av_new_packet(&packet, header.size) < 0) {
      return fail(Error("the spooled audio is damaged"));
    }
    got = take(packet.data, static_cast<std::size_t>(header.size));
    if (!got) return got;
    if (!*got) return fail(Error("the spooled audio is damaged"));
    packet.pts = header.pts;
    packet.dts = header.dts;
    packet.duration = header.duration;
    packet.flags = header.flags;
    return true;
  }

 private:
  static constexpr std::size_t kBuffer = 1 << 20;

  void append(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    buffer_.insert(buffer_.end(), bytes, bytes + size);
  }

  // Exactly `size` bytes, or false at a clean end.
  Result<bool> take(void* data, std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size) {
      if (read_at_ == buffer_.size()) {
        buffer_.resize(kBuffer);
        ssize_t n;
        do {
          n = ::read(fd_, buffer_.data(), kBuffer);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return fail(Error(std::strerror(errno)));
        buffer_.resize(static_cast<std::size_t>(n));
        read_at_ = 0;
        if (n == 0) {
          if (done == 0) return false;
          return fail(Error("the spooled audio is damaged"));
        }
      }
      const std::size_t part = std::min(size - done, buffer_.size() - read_at_);
      std::memcpy(out + done, buffer_.data() + read_at_, part);
      done += part;
      read_at_ += part;
    }
    return true;
  }

  int fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t read_at_ = 0;
};

}  // namespace

struct Encoder::State {
  Format format = Format::Wav;
  int input_rate = 0;
  FdOutput output;
  std::optional<Spool> spool;
  AVFormatContext* muxer = nullptr;
  AVIOContext* io = nullptr;
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  SwrContext* resampler = nullptr;
  AVAudioFifo* fifo = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* packet = nullptr;
  int frame_size = 1024;
  bool pad_last_frame = false;
  std::int64_t next_pts = 0;
  bool header_written = false;
  AVDictionary* stream_metadata = nullptr;  // given to the stream when it is made

  ~State() {
    av_dict_free(&stream_metadata);
    av_packet_free(&packet);
    av_frame_free(&frame);
    if (fifo != nullptr) av_audio_fifo_free(fifo);
    swr_free(&resampler);
    avcodec_free_context(&codec);
    if (muxer != nullptr) avformat_free_context(muxer);
    if (io != nullptr) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
  }

  // A failure of libav*: when the output could not be written, the system's reason.
  Error failure(std::string_view what, int code) const {
    if (output.error != 0) return Error(write_failure_text(output.error));
    return Error(std::string(what) + ": " + av_text(code));
  }

  // The writer of the container `name`, writing through `output`, with the file's tags.
  Result<void> open_muxer(const char* name, const Tags& tags) {
    if (int r = avformat_alloc_output_context2(&muxer, nullptr, name, nullptr); r < 0) {
      return fail(failure(std::string("no ") + name + " writer in libavformat", r));
    }
    constexpr int kIoBuffer = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBuffer));
    io = avio_alloc_context(buffer, kIoBuffer, 1, &output, nullptr, write_output, seek_output);
    if (io == nullptr) {
      av_free(buffer);
      return fail(Error("failed to allocate the output"));
    }
    muxer->pb = io;
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    av_dict_set(&muxer->metadata, "title", tags.title.c_str(), 0);
    av_dict_set(&muxer->metadata, "album", tags.title.c_str(), 0);
    av_dict_set(&muxer->metadata, "artist", tags.artist.c_str(), 0);
    av_dict_set(&muxer->metadata, "comment", tags.comment.c_str(), 0);
    return {};
  }

  Result<void> write_header() {
    stream = avformat_new_stream(muxer, nullptr);
    if (stream == nullptr) return fail(Error("failed to add the audio stream"));
    stream->time_base = codec->time_base;
    av_dict_copy(&stream->metadata, stream_metadata, 0);
    if (int r = avcodec_parameters_from_context(stream->codecpar, codec); r < 0) {
      return fail(failure("failed to describe the audio stream", r));
    }
    AVDictionary* options = nullptr;
    // ID3v2.3 is what most players read; it carries CHAP and CTOC as well as 2.4.
    if (format == Format::Mp3) av_dict_set(&options, "id3v2_version", "3", 0);
    const int r = avformat_write_header(muxer, &options);
    av_dict_free(&options);
    if (r < 0) return fail(failure("failed to write the file header", r));
    header_written = true;
    return {};
  }

  Result<void> mux(AVPacket* p) {
    av_packet_rescale_ts(p, codec->time_base, stream->time_base);
    p->stream_index = stream->index;
    const int r = av_write_frame(muxer, p);
    av_packet_unref(p);
    if (r < 0) return fail(failure("failed to write audio", r));
    return {};
  }

  // Takes every packet the encoder has ready.
  Result<void> drain() {
    for (;;) {
      const int r = avcodec_receive_packet(codec, packet);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return {};
      if (r < 0) return fail(failure("failed to encode audio", r));
      if (spool) {
        auto put = spool->put(*packet);
        av_packet_unref(packet);
        if (!put) return put;
      } else if (auto muxed = mux(packet); !muxed) {
        return muxed;
      }
    }
  }

  Result<void> encode(int samples) {
    frame->nb_samples = pad_last_frame ? frame_size : samples;
    if (int r = av_frame_get_buffer(frame, 0); r < 0) {
      return fail(failure("failed to allocate audio", r));
    }
    av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), samples);
    if (samples < frame->nb_samples) {
      av_samples_set_silence(frame->data, samples, frame->nb_samples - samples, 1,
                             codec->sample_fmt);
    }
    frame->pts = next_pts;
    next_pts += frame->nb_samples;
    const int r = avcodec_send_frame(codec, frame);
    av_frame_unref(frame);
    frame->format = codec->sample_fmt;
    frame->sample_rate = codec->sample_rate;
    av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
    if (r < 0) return fail(failure("failed to encode audio", r));
    return drain();
  }

  // Resamples `samples` (null: what the resampler still holds) into the FIFO.
  Result<void> resample(const std::int16_t* samples, int count) {
    const int room = swr_get_out_samples(resampler, count);
    if (room <= 0) return {};
    if (int r = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + room); r < 0) {
      return fail(failure("failed to allocate audio", r));
    }
    std::vector<std::uint8_t> converted(static_cast<std::size_t>(room) *
                                        av_get_bytes_per_sample(codec->sample_fmt));
    std::uint8_t* out = converted.data();
    const auto* in = reinterpret_cast<const std::uint8_t*>(samples);
    const int got = swr_convert(resampler, &out, room, samples ? &in : nullptr, count);
    if (got < 0) return fail(failure("failed to resample audio", got));
    av_audio_fifo_write(fifo, reinterpret_cast<void**>(&out), got);
    return {};
  }
};

namespace {

// The synthesizer's own rate where the codec takes it, else the nearest above (Opus: 24 kHz).
int output_rate(const AVCodec& codec, int input_rate) {
  if (codec.supported_samplerates == nullptr) return input_rate;
  int above = 0, below = 0;
  for (const int* p = codec.supported_samplerates; *p != 0; ++p) {
    if (*p == input_rate) return input_rate;
    if (*p > input_rate && (above == 0 || *p < above)) above = *p;
    if (*p<input_rate&& * p> below) below = *p;
  }
  return above != 0 ? above : below;
}

}  // namespace

Encoder::Encoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Encoder::~Encoder() = default;

Result<std::unique_ptr<Encoder>> Encoder::open(Format format, int input_rate, int out_fd,
                                               int spool_fd, const Tags& tags) {
  // The libraries' messages would reach the service's standard error, which carries nothing
  // while it runs; every failure comes back as a value instead.
  av_log_set_level(AV_LOG_QUIET);
  auto s = std::make_unique<State>();
  s->format = format;
  s->input_rate = input_rate;
  s->output.fd = out_fd;
  const FormatInfo& f = format_info(format);

  if (auto muxer = s->open_muxer(f.muxer, tags); !muxer) return fail(std::move(muxer.error()));

  const AVCodec* codec = avcodec_find_encoder_by_name(f.encoder);
  if (codec == nullptr)
    return fail(Error(std::string("no ") + f.encoder + " encoder in libavcodec"));
  s->codec = avcodec_alloc_context3(codec);
  if (s->codec == nullptr) return fail(Error("failed to allocate the encoder"));
  AVCodecContext* c = s->codec;
  c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  for (const AVSampleFormat* p = codec->sample_fmts; p && *p != AV_SAMPLE_FMT_NONE; ++p) {
    if (*p == AV_SAMPLE_FMT_S16) c->sample_fmt = *p;
  }
  const int rate = output_rate(*codec, input_rate);
  c->sample_rate = rate;
  av_channel_layout_default(&c->ch_layout, 1);
  c->time_base = AVRational{1, rate};
  if (f.bit_rate > 0) c->bit_rate = f.bit_rate;
  // Speed over the last fraction of quality, measured on ten minutes of speech (CPU seconds):
  // Opus at complexity 5 takes 2.1 instead of 10 (the default), AAC's fast coder 3.4 instead
  // of 21; neither is audibly worse for a synthetic voice at these rates.
  if (format == Format::Opus) c->compression_level = 5;
  if (format == Format::M4b) av_opt_set(c->priv_data, "aac_coder", "fast", 0);
  if (s->muxer->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (int r = avcodec_open2(c, codec, nullptr); r < 0) {
    return fail(s->failure(std::string("failed to open the ") + f.encoder + " encoder", r));
  }
  const bool any_size =
      (codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0 || c->frame_size <= 0;
  s->frame_size = c->frame_size > 0 ? c->frame_size : 2048;
  s->pad_last_frame = !any_size && (codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) == 0;

  AVChannelLayout mono;
  av_channel_layout_default(&mono, 1);
  if (int r = swr_alloc_set_opts2(&s->resampler, &c->ch_layout, c->sample_fmt, c->sample_rate,
                                  &mono, AV_SAMPLE_FMT_S16, input_rate, 0, nullptr);
      r < 0 || swr_init(s->resampler) < 0) {
    return fail(Error("failed to set up resampling"));
  }
  s->fifo = av_audio_fifo_alloc(c->sample_fmt, 1, s->frame_size * 2);
  s->frame = av_frame_alloc();
  s->packet = av_packet_alloc();
  if (s->fifo == nullptr || s->frame == nullptr || s->packet == nullptr) {
    return fail(Error("failed to allocate the encoder's buffers"));
  }
  s->frame->format = c->sample_fmt;
  s->frame->sample_rate = c->sample_rate;
  av_channel_layout_copy(&s->frame->ch_layout, &c->ch_layout);

  if (has_chapters(format)) {
    s->spool.emplace(spool_fd);
  } else if (auto written = s->write_header(); !written) {
    return fail(written.error());
  }
  return std::unique_ptr<Encoder>(new Encoder(std::move(s)));
}

Result<void> Encoder::write(std::span<const std::int16_t> samples) {
  State& s = *state_;
  if (auto resampled = s.resample(samples.data(), static_cast<int>(samples.size())); !resampled) {
    return resampled;
  }
  while (av_audio_fifo_size(s.fifo) >= s.frame_size) {
    if (auto encoded = s.encode(s.frame_size); !encoded) return encoded;
  }
  return {};
}

Result<void> Encoder::finish(const std::vector<Chapter>& chapters) {
  State& s = *state_;
  if (auto resampled = s.resample(nullptr, 0); !resampled) return resampled;
  while (av_audio_fifo_size(s.fifo) > 0) {
    if (auto encoded = s.encode(std::min(av_audio_fifo_size(s.fifo), s.frame_size)); !encoded) {
      return encoded;
    }
  }
  if (int r = avcodec_send_frame(s.codec, nullptr); r < 0) {
    return fail(s.failure("failed to finish encoding", r));
  }
  if (auto drained = s.drain(); !drained) return drained;

  if (s.spool) {
    // The Ogg writer puts chapters into Opus headers only, and the FLAC writer not at all: for
    // Vorbis and FLAC the same CHAPTERnnn comments are added as tags.
    if (s.format == Format::Vorbis || s.format == Format::Flac) {
      AVDictionary** comments =
          s.format == Format::Vorbis ? &s.stream_metadata : &s.muxer->metadata;
      for (std::size_t i = 0; i < chapters.size(); ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "CHAPTER%03zu", i);
        const std::uint64_t ms = chapters[i].start_ms;
        char time[40];
        std::snprintf(time, sizeof time, "%02llu:%02llu:%02llu.%03llu",
                      static_cast<unsigned long long>(ms / 3'600'000),
                      static_cast<unsigned long long>(ms / 60'000 % 60),
                      static_cast<unsigned long long>(ms / 1000 % 60),
                      static_cast<unsigned long long>(ms % 1000));
        av_dict_set(comments, key, time, 0);
        std::strcat(key, "NAME");
        av_dict_set(comments, key, chapters[i].title.c_str(), 0);
      }
    } else if (!chapters.empty()) {
      auto** list = static_cast<AVChapter**>(av_calloc(chapters.size(), sizeof(AVChapter*)));
      if (list == nullptr) return fail(Error("failed to allocate chapters"));
      s.muxer->chapters = list;
      for (std::size_t i = 0; i < chapters.size(); ++i) {
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (chapter == nullptr) return fail(Error("failed to allocate chapters"));
        chapter->id = static_cast<std::int64_t>(i);
        chapter->time_base = AVRational{1, 1000};
        chapter->start = static_cast<std::int64_t>(chapters[i].start_ms);
        chapter->end = static_cast<std::int64_t>(chapters[i].end_ms);
        av_dict_set(&chapter->metadata, "title", chapters[i].title.c_str(), 0);
        list[i] = chapter;
        s.muxer->nb_chapters = static_cast<unsigned>(i + 1);
      }
    }
    if (auto written = s.write_header(); !written) return written;
    if (auto rewound = s.spool->rewind(); !rewound) return rewound;
    for (;;) {
      auto got = s.spool->next(*s.packet);
      if (!got) return fail(got.error());
      if (!*got) break;
      if (auto muxed = s.mux(s.packet); !muxed) return muxed;
    }
  }
  if (int r = av_write_trailer(s.muxer); r < 0) {
    return fail(s.failure("failed to finish the file", r));
  }
  avio_flush(s.io);
  if (s.output.error != 0 || s.io->error < 0) {
    return fail(s.failure("failed to write the file", s.io->error));
  }
  return {};
}

}  // namespace mdspeak::exporting
