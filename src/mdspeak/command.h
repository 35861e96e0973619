// What `mdspeak` does once its options are parsed.
#pragma once

#include <string>

#include "options.h"

namespace mdspeak::client {

// Runs the command described by `options`; returns the process's exit status. `self_path` is
// argv[0], used to find the service beside this program.
int run(const Options& options, const std::string& self_path);

}  // namespace mdspeak::client
