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

// The contents of a string of a line decoded while the line was still arriving (`StringAhead`):
// `Scanner::string`, at the opening quote `open`, takes them and decodes on from `resume`.
struct DecodedAhead {
  const char* open = nullptr;
  const char* resume = nullptr;
  std::string contents;
};

// Decodes the first long string of a line as the line arrives, so that little of a huge
// `load_document` text is left to decode once its line feed comes. Fed the line as it grows
// (bytes already fed never change, though they may move). Contents are cut only after a plain
// ASCII byte, so no escape, surrogate pair or UTF-8 sequence is split; anything that does not
// decode ends the work and yields nothing, leaving the fault to the line's own decoding.
class StringAhead {
 public:
  // Strings shorter than `worth_from` bytes are left to the line's decoding.
  explicit StringAhead(std::size_t worth_from = std::size_t{1} << 16) : worth_from_(worth_from) {}

  void feed(std::string_view line);
  // What was decoded, for the line now at `line`; a null `open` when nothing was. Starts over.
  DecodedAhead take(const char* line);

 private:
  enum class State : std::uint8_t { Outside, InString, Finished };
  // Decodes the contents up to `to` onto `contents_`; false (and finished) when they do not.
  bool decode_to(std::string_view line, std::size_t to);
  // Drops what was decoded and ends the work: the line's own decoding does it all. False.
  bool give_up();

  std::size_t worth_from_;
  State state_ = State::Outside;
  bool decoding_ = false;
  std::size_t scanned_ = 0;     // bytes of the line read so far
  std::size_t open_ = 0;        // the current string's opening quote
  std::size_t run_start_ = 0;   // where its bytes after the last escape start
  std::size_t decoded_to_ = 0;  // contents decoded up to here
  std::string contents_;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text, DecodedAhead* ahead = nullptr)
      : at_(text.data()), end_(text.data() + text.size()), ahead_(ahead) {}

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
  // Where the scanner stands in the text.
  const char* position() const { return at_; }

 private:
  bool skip_scalar();

  const char* at_;
  const char* end_;
  DecodedAhead* ahead_;
};

}  // namespace mdspeak::json
