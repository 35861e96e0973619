#include "support/sink_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace mdspeak {

namespace {

double block_rms(const std::vector<std::int16_t>& samples) {
  if (samples.empty()) return 0;
  double sum = 0;
  for (std::int16_t s : samples) {
    double x = s / 32768.0;
    sum += x * x;
  }
  return std::sqrt(sum / static_cast<double>(samples.size()));
}

}  // namespace

std::optional<std::string> SinkRecorder::stack_pulse_socket() {
  // Where scripts/speech-stack keeps its state: one stack per runtime directory.
  const char* dir = std::getenv("MDSPEAK_SPEECH_STACK_DIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string state = dir != nullptr && *dir != '\0' ? std::string(dir)
                      : runtime != nullptr && *runtime != '\0'
                          ? std::string(runtime) + "/mdspeak-speech-stack"
                          : "/tmp/mdspeak-speech-stack-" + std::to_string(getuid());
  std::string socket = state + "/runtime/pulse/native";
  struct stat info {};
  if (stat(socket.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return std::nullopt;
  return socket;
}

SinkRecorder::~SinkRecorder() {
  stop();
}

bool SinkRecorder::start(const std::string& pulse_socket) {
  int fds[2];
  if (pipe(fds) != 0) {
    error_ = std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::string server = "--server=unix:" + pulse_socket;
  std::string rate = "--rate=" + std::to_string(kRate);
  std::vector<std::string> args{
      "parec", server,         "--device=speech.monitor", "--raw", "--format=s16le",
      rate,    "--channels=1", "--latency-msec=10"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int spawned = posix_spawnp(&pid_, "parec", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    pid_ = -1;
    error_ = std::string("cannot start parec: ") + std::strerror(spawned);
    return false;
  }
  pipe_ = fds[0];
  reader_ = std::thread([this] { read_loop(); });
  return true;
}

void SinkRecorder::read_loop() {
  std::vector<char> buffer(4096);
  std::vector<char> carry;
  for (;;) {
    ssize_t n = read(pipe_, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    auto arrived = Clock::now();
    carry.insert(carry.end(), buffer.begin(), buffer.begin() + n);
    std::size_t whole = carry.size() / 2 * 2;
    Block block{arrived, 0, std::vector<std::int16_t>(whole / 2)};
    std::memcpy(block.samples.data(), carry.data(), whole);
    carry.erase(carry.begin(), carry.begin() + static_cast<std::ptrdiff_t>(whole));
    block.rms = block_rms(block.samples);
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
  }
}

bool SinkRecorder::wait_until_recording(std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    {
      std::lock_guard lock(mutex_);
      if (!blocks_.empty()) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void SinkRecorder::stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
  if (pipe_ >= 0) {
    close(pipe_);
    pipe_ = -1;
  }
}

double SinkRecorder::rms() const {
  return rms_between(Clock::time_point::min(), Clock::time_point::max());
}

double SinkRecorder::rms_between(Clock::time_point from, Clock::time_point to) const {
  std::lock_guard lock(mutex_);
  double sum = 0;
  std::size_t count = 0;
  for (const Block& b : blocks_) {
    if (b.arrived < from || b.arrived >= to) continue;
    for (std::int16_t s : b.samples) {
      double x = s / 32768.0;
      sum += x * x;
    }
    count += b.samples.size();
  }
  return count == 0 ? 0 : std::sqrt(sum / static_cast<double>(count));
}

std::optional<SinkRecorder::Clock::time_point> SinkRecorder::quiet_from(Clock::time_point from,
                                                                        double threshold) const {
  std::lock_guard lock(mutex_);
  std::optional<Clock::time_point> quiet;
  for (const Block& b : blocks_) {
    if (b.arrived < from) continue;
    if (b.rms >= threshold) {
      quiet.reset();
    } else if (!quiet) {
      quiet = b.arrived;
    }
  }
  return quiet;
}

std::optional<SinkRecorder::Clock::time_point> SinkRecorder::sound_from(Clock::time_point from,
                                                                        double threshold) const {
  std::lock_guard lock(mutex_);
  for (const Block& b : blocks_) {
    if (b.arrived >= from && b.rms >= threshold) return b.arrived;
  }
  return std::nullopt;
}

std::vector<SinkRecorder::Segment> SinkRecorder::segments(Clock::time_point from, double threshold,
                                                          Clock::duration gap) const {
  std::lock_guard lock(mutex_);
  std::vector<Segment> out;
  std::optional<Clock::time_point> quiet_since;
  for (const Block& b : blocks_) {
    if (b.arrived < from) continue;
    if (b.rms < threshold) {
      if (!quiet_since) {
        quiet_since = b.arrived;
        if (!out.empty()) out.back().end = b.arrived;  // provisional: sound may resume soon
      }
      continue;
    }
    if (out.empty() || (quiet_since && b.arrived - *quiet_since >= gap)) {
      out.push_back(Segment{b.arrived, b.arrived});
    }
    out.back().end = b.arrived;
    quiet_since.reset();
  }
  return out;
}

}  // namespace mdspeak
