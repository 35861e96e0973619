// One run of the reader: talks to the service, follows its events, reacts to keys and signals,
// and draws the display or prints plain lines.
#pragma once

#include <string>

#include "options.h"

namespace mdspeak::reader {

// Runs the command described by `options`; returns the process's exit status. `self_path` is
// argv[0], used to find the service beside this program.
int run(const Options& options, const std::string& self_path);

}  // namespace mdspeak::reader
