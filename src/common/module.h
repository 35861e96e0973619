// Modules: parts of the service that bring large libraries of their own (the audio export's
// codecs, the speech daemon's client library with glib) are shared objects loaded at their first
// use, so that a start which needs neither maps neither.
//
// A module is looked for beside the running binary (the build tree keeps the service and its
// modules in one directory), then in the places the build names: where it is installed, and where
// this build made it (for tests, whose binaries live elsewhere). A loaded module stays loaded.
#pragma once

#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace mdspeak {

// Beside the running binary first, then where this build installs modules, then where it made
// them.
std::vector<std::filesystem::path> module_places(std::string_view file_name);

// The address of `symbol` in the first of `places` that exists, loads and offers it. Fails with
// why none did: "not found", the dynamic loader's own message, or "PATH offers no SYMBOL".
Result<void*> load_module_symbol(std::span<const std::filesystem::path> places, const char* symbol);

}  // namespace mdspeak
