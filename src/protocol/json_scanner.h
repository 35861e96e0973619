// A strict JSON scanner over one request line (RFC 8259 and nothing more: no comments, no byte
// order mark, no trailing commas, no NUL as an end). The request decoder pulls the top-level
// members through it; nested values are only validated, never stored.
//
// Strings are the bulk of a request (a `load_document` text), so they take a fast path: the
// closing quote is found first, the output is sized once, and runs without a quote, backslash,
// control character or non-ASCII byte are copied sixteen bytes at a time. Non-ASCII bytes must
// form well-formed UTF-8; \u escapes must pair surrogates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mdspeak::json {

// A number as written, sorted the way the decoder needs it.
struct Number {
  enum class Kind : std::uint8_t {
    Unsigned,  // no sign, fraction or exponent, fits 64 bits
    Negative,  // minus sign, no fraction or exponent, fits a signed 64-bit integer
    Other,     // fraction, exponent, or beyond those ranges
  };
  Kind kind = Kind::Other;
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  std::string_view text;  // the raw characters, a view into the scanned line
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

  void skip_white_space() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
  }
  bool at_end() const { return at_ == end_; }
  // The next byte, or 0 at the end (never a valid token start, since NUL is no JSON).
  char peek() const { return at_ == end_ ? '\0' : *at_; }
  // Consumes `c` when it is the next byte.
  bool consume(char c) {
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }

  // A string starting at the next byte; its decoded contents replace `out` when given.
  bool string(std::string* out);
  bool number(Number& out);
  // "true", "false" or "null" at the next byte; `value` is set for the first two.
  bool literal(bool& is_null, bool& value);
  // Any value, checked and thrown away; nesting depth costs one byte per level.
  bool skip_value();

 private:
  bool skip_scalar();

  const char* at_;
  const char* end_;
};

}  // namespace mdspeak::json
