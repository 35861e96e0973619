#include "terminal.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace mdspeak::client {

namespace {

termios saved_mode;
int saved_fd = -1;
bool saved_screen = false;
int signal_write_fd = -1;

// Also run at exit, so no path out of the program leaves the terminal raw.
void restore_saved() {
  if (saved_fd < 0) return;
  static const char kLeave[] = "\x1b[0m\x1b[?25h\x1b[?1049l";
  if (saved_screen) {
    [[maybe_unused]] auto n = ::write(saved_fd, kLeave, sizeof kLeave - 1);
  }
  tcflush(saved_fd, TCIFLUSH);
  tcsetattr(saved_fd, TCSAFLUSH, &saved_mode);
  saved_fd = -1;
}

void on_signal(int number) {
  int saved_errno = errno;
  auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] auto n = ::write(signal_write_fd, &byte, 1);
  errno = saved_errno;
}

}  // namespace

bool Terminal::open() {
  fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  return fd_ >= 0;
}

bool Terminal::in_foreground() const {
  return fd_ >= 0 && tcgetpgrp(fd_) == getpgrp();
}

bool Terminal::enter(bool screen) {
  if (fd_ < 0 || tcgetattr(fd_, &saved_mode) != 0) return false;
  termios raw = saved_mode;
  raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~(IXON | ICRNL);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd_, TCSAFLUSH, &raw) != 0) return false;
  saved_fd = fd_;
  saved_screen = screen;
  static bool registered = false;
  if (!registered) std::atexit(restore_saved);
  registered = true;
  entered_ = true;
  if (screen) write("\x1b[?1049h\x1b[?25l\x1b[H\x1b[2J");
  return true;
}

void Terminal::restore() {
  if (!entered_) return;
  restore_saved();
  entered_ = false;
}

void Terminal::suspend() {
  if (!entered_) return;
  const bool screen = saved_screen;
  restore();
  // The whole job, as the terminal would stop it (a pipe's other end too); returns once continued.
  ::kill(0, SIGTSTP);
  enter(screen);
}

std::size_t Terminal::width() const {
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::size_t Terminal::height() const {
  winsize size{};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
  return 24;
}

void Terminal::write(const std::string& bytes) const {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

int install_signal_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  signal_write_fd = fds[1];
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH})
    sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return fds[0];
}

}  // namespace mdspeak::client
