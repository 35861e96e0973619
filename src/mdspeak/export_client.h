// mdspeak --output: the document written to an audio file by the service's export, with a
// progress bar on a terminal and one line at the end; Ctrl-C cancels and leaves no file.
#pragma once

#include <string>

#include "options.h"
#include "service.h"

namespace mdspeak::client {

// Runs the export; returns the exit status (0 written, 1 failed, 130 after Ctrl-C).
int export_to_file(const Options& options, const std::string& source, const ByteRange& range,
                   ServiceConnection& service, int signal_fd);

}  // namespace mdspeak::client
