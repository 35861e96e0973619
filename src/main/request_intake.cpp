// The request intake thread (standard input to requests): framing, decoding (a long line while it
// still arrives), and giving memory back after a huge line.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "common/pipeline.h"
#include "common/text.h"
#include "common/unicode.h"
#include "main/host.h"
#include "protocol/json_scanner.h"

namespace mdspeak {
namespace {

constexpr std::size_t kReadSize = std::size_t{1} << 16;
// A line left unfinished by a read at least this long starts being decoded before it ends.
constexpr std::size_t kAheadFrom = std::size_t{1} << 16;

// Bytes read from stdin and not yet framed. Grown with realloc, which moves a large block by
// remapping its pages instead of copying them, and read into directly.
class LineBuffer {
 public:
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() { std::free(data_); }

  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }

  // Room for at least `more` bytes after the end; false when memory runs out.
  bool has_room(std::size_t more) const { return capacity_ - size_ >= more; }
  bool reserve_more(std::size_t more) {
    if (has_room(more)) return true;
    std::size_t wanted = capacity_ == 0 ? kReadSize : capacity_;
    while (wanted - size_ < more) wanted *= 2;
    return reallocate(wanted);
  }
  void grow(std::size_t added) { size_ += added; }

  // Drops the first `count` bytes.
  void consume(std::size_t count) {
    std::memmove(data_, data_ + count, size_ - count);
    size_ -= count;
  }

  // Gives a large block back once it holds little again.
  void shrink() {
    if (capacity_ > kKeptCapacity && size_ <= kReadSize) {
      reallocate(2 * kReadSize);
      malloc_trim(0);
    }
  }

 private:
  // A line this long was unusual: its buffer is not kept for the next.
  static constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

  bool reallocate(std::size_t capacity) {
    void* moved = std::realloc(data_, capacity);
    if (moved == nullptr) return false;
    data_ = static_cast<char*>(moved);
    capacity_ = capacity;
    return true;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Decodes the long string of the unfinished line on a thread of its own while the intake goes
// on reading, so that the line is mostly decoded when its line feed comes. Unlike the load's
// other stages this one hands over no batches: the helper reads the line in place, in the
// intake's buffer, only between what was published and what the intake holds it back for
// (moving the buffer and taking the result).
class AheadDecoder {
 public:
  explicit AheadDecoder(LineBuffer& buffer) : buffer_(buffer) {}
  AheadDecoder(const AheadDecoder&) = delete;
  AheadDecoder& operator=(const AheadDecoder&) = delete;

  // The unfinished line now holds the buffer's first `size` bytes.
  void publish(std::size_t size) {
    // No thread: the intake decodes every line itself.
    if (!helper_.running() && (std::exchange(tried_, true) || !helper_.start([this] { run(); }))) {
      return;
    }
    {
      std::lock_guard lock(mutex_);
      published_ = size;
      data_ = buffer_.data();
    }
    changed_.notify_all();
  }

  // Runs `f`, which may move the buffer, while the helper keeps out of it.
  template <class F>
  auto holding(F f) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !feeding_; });
    auto result = f();
    data_ = buffer_.data();
    return result;
  }

  // What was decoded of the line that just ended (its first line feed is in the buffer).
  json::DecodedAhead take() {
    return holding([&] {
      published_ = fed_ = 0;
      return ahead_.take(buffer_.data());
    });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stop_ || published_ > fed_; });
      if (stop_) return;
      const std::string_view line(data_, published_);
      feeding_ = true;
      lock.unlock();
      ahead_.feed(line);
      lock.lock();
      feeding_ = false;
      fed_ = line.size();
      changed_.notify_all();
    }
  }

  LineBuffer& buffer_;
  json::StringAhead ahead_;  // only touched by whoever holds the buffer
  std::mutex mutex_;
  std::condition_variable changed_;
  const char* data_ = nullptr;
  std::size_t published_ = 0;
  std::size_t fed_ = 0;
  bool feeding_ = false;
  bool stop_ = false;
  bool tried_ = false;
  // Last: stopped before the rest goes.
  ScopedWorker helper_{[this] {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
  }};
};

enum class Next : std::uint8_t { Read, Stop };

Next handle_line(std::string_view line, json::DecodedAhead ahead, const Sender<Request>& requests) {
  std::string_view trimmed = text::trim(line);
  if (!trimmed.empty()) {
    auto request = decode_request(trimmed, &ahead);
    // A request that decodes is valid UTF-8 throughout, so only a refused line is checked.
    if (request) return requests.send(std::move(*request)) ? Next::Read : Next::Stop;
  }
  // A line that is not UTF-8 is a read error: nothing after it is read. Undecodable lines get no
  // answer.
  return unicode::is_valid_utf8(line) ? Next::Read : Next::Stop;
}

}  // namespace

void take_in_requests(int fd, const Sender<Request>& requests) {
  // A larger pipe lets a writer hand over a large line in fewer rounds of wake-ups. Not a pipe,
  // or not allowed: reading works the same, only in smaller steps.
  ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  LineBuffer buffer;
  std::size_t scanned = 0;  // bytes known to hold no line feed
  // The line not yet whole always starts the buffer: a long one is decoded as it comes.
  AheadDecoder ahead(buffer);
  for (;;) {
    if (!buffer.has_room(kReadSize) &&
        !ahead.holding([&] { return buffer.reserve_more(kReadSize); })) {
      return;
    }
    const ssize_t n = ::read(fd, buffer.data() + buffer.size(), buffer.capacity() - buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input or a read error
    buffer.grow(static_cast<std::size_t>(n));

    std::size_t line_start = 0;
    while (const void* found =
               std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned)) {
      const auto end = static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data());
      std::string_view line(buffer.data() + line_start, end - line_start);
      if (line.ends_with('\r')) line.remove_suffix(1);
      if (handle_line(line, ahead.take(), requests) == Next::Stop) return;
      line_start = scanned = end + 1;
    }
    scanned = buffer.size();
    if (line_start > 0) {
      buffer.consume(line_start);
      scanned -= line_start;
      buffer.shrink();
    }
    if (buffer.size() >= kAheadFrom) ahead.publish(buffer.size());
  }
  // A last line without a line feed still counts.
  if (buffer.size() > 0) {
    handle_line(std::string_view(buffer.data(), buffer.size()), ahead.take(), requests);
  }
}

Result<void> spawn_request_intake(Sender<Request> requests, int fd) {
  try {
    std::thread([requests = std::move(requests), fd] { take_in_requests(fd, requests); }).detach();
  } catch (const std::system_error& e) {
    return fail(Error("failed to spawn thread", Error(e.what())));
  }
  return {};
}

}  // namespace mdspeak
