// The controlling terminal in raw mode, and signals turned into bytes on a pipe so that the
// main loop handles them like any other input.
#pragma once

#include <cstddef>
#include <string>

namespace mdspeak::client {

class Terminal {
 public:
  // Opens /dev/tty; false when there is none.
  bool open();
  // Raw keys (no echo, no line editing, Ctrl-C as a key); with `screen`, also the alternate
  // screen with the cursor hidden (without, the output goes elsewhere and only keys are read).
  bool enter(bool screen = true);
  // Whether this process is in the terminal's foreground: changing the mode from the background
  // would stop it.
  bool in_foreground() const;
  // Puts everything back and drops keys typed but not read, so the shell never sees them.
  // Safe to call twice.
  void restore();
  // Ctrl-Z: gives the terminal back, stops this job as the shell's Ctrl-Z would, and once it is
  // continued takes the terminal again as `enter` did (from the background, the shell stops it
  // again until it is brought to the foreground).
  void suspend();
  int fd() const { return fd_; }
  std::size_t width() const;
  std::size_t height() const;
  void write(const std::string& bytes) const;

 private:
  int fd_ = -1;
  bool entered_ = false;
};

// Installs handlers for SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH and SIGPIPE (ignored); each
// caught signal writes its number as one byte to the returned descriptor's pipe.
int install_signal_pipe();

}  // namespace mdspeak::client
