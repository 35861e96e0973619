// Reading the document: a file or standard input, gzip-compressed or not, checked to be text and
// turned into UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace mdspeak::client {

enum class Encoding { kUtf8, kLatin1 };

// The document's text as UTF-8. `path` "-" reads standard input. Failures say, in one line,
// what is wrong with the file (the caller prefixes nothing but the program name).
Result<std::string> read_document(const std::string& path, Encoding encoding);

// Decompresses gzip data (every member of a multi-member file).
Result<std::string> gunzip(std::string_view data);

// Checks that `bytes` are text in `encoding` and returns them as UTF-8. `name` names the input
// in failure messages.
Result<std::string> decode_text(std::string bytes, Encoding encoding, std::string_view name);

}  // namespace mdspeak::client
