#include "protocol/json_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <new>
#include <utility>

#include "common/memory.h"
#include "common/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mdspeak::json {
namespace {

// Bytes that end a clean run inside a string: quote, backslash, control characters and every
// non-ASCII byte (checked as UTF-8).
constexpr std::array<bool, 256> make_special_table() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = true;
  for (int c = 0x80; c < 0x100; ++c) table[static_cast<std::size_t>(c)] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}
constexpr std::array<bool, 256> kSpecial = make_special_table();

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The closing quote of the string whose contents start at `p`, or null when the line ends first.
// Escapes are stepped over whole enough that an escaped quote is never taken for the end.
const char* find_closing_quote(const char* p, const char* end) {
  for (;;) {
    p += text::find_any<'"', '\\'>(std::string_view(p, static_cast<std::size_t>(end - p)), 0);
    if (p == end) return nullptr;
    if (*p == '"') return p;
    if (end - p < 2) return nullptr;
    p += 2;
  }
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at `p` (which has at least four bytes before `limit`), or -1.
int read_hex4(const char* p, const char* limit) {
  if (limit - p < 4) return -1;
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(p[i]);
    if (digit < 0) return -1;
    value = value << 4 | digit;
  }
  return value;
}

char* put_code_point(char* o, char32_t cp) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | cp >> 6);
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | cp >> 12);
    *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | cp >> 18);
    *o++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

// Length of the well-formed UTF-8 sequence at `p` (lead byte at least 0x80), or 0.
int utf8_sequence_length(const unsigned char* p, const unsigned char* limit) {
  const unsigned char lead = p[0];
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) {
    length = 2;
  } else if (lead < 0xF0) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead < 0xF5) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (limit - p < length) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (int i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

// The byte that a one-letter escape stands for, or 0 when the letter makes none.
constexpr char simple_escape(char letter) {
  switch (letter) {
    case '"':
    case '\\':
    case '/':
      return letter;
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return 0;
  }
}

// Decodes the escape whose letter is at `p` onto `o` (when writing). Returns the byte after it,
// or null when it is not valid.
template <bool kWrite>
inline const char* decode_escape(const char* p, const char* quote, char*& o) {
  const char letter = *p++;
  if (letter != 'u') {
    const char decoded = simple_escape(letter);
    if (decoded == 0) return nullptr;
    if constexpr (kWrite) *o++ = decoded;
    return p;
  }
  const int unit = read_hex4(p, quote);
  if (unit < 0) return nullptr;
  p += 4;
  char32_t cp = static_cast<char32_t>(unit);
  if (unit >= 0xDC00 && unit <= 0xDFFF) return nullptr;  // a low half alone
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    if (quote - p < 6 || p[0] != '\\' || p[1] != 'u') return nullptr;
    const int low = read_hex4(p + 2, quote);
    if (low < 0xDC00 || low > 0xDFFF) return nullptr;
    p += 6;
    cp = 0x10000 + ((cp - 0xD800) << 10) + static_cast<char32_t>(low - 0xDC00);
  }
  if constexpr (kWrite) o = put_code_point(o, cp);
  return p;
}

// Decodes the contents from `p` up to the closing quote `quote` into `o` (when writing), which
// has room for `quote - p` bytes: no escape decodes longer than it is written. Returns the end
// of the output, or null when the contents are not a valid JSON string.
template <bool kWrite>
char* decode_contents(const char* p, const char* quote, char* o) {
  for (;;) {
#if defined(__SSE2__)
    // Bytes 0x80 and up are negative as signed bytes, so one signed "less than 0x20" catches
    // them together with the control characters.
    const __m128i quote_byte = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (quote - p >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i special = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(block, quote_byte), _mm_cmpeq_epi8(block, backslash)),
          _mm_cmplt_epi8(block, space));
      // Stored whole even when a special byte is in it: the room left is at least the sixteen
      // input bytes, and what follows the special byte is written over next.
      if constexpr (kWrite) _mm_storeu_si128(reinterpret_cast<__m128i*>(o), block);
      const int mask = _mm_movemask_epi8(special);
      if (mask == 0) {
        p += 16;
        if constexpr (kWrite) o += 16;
        continue;
      }
      const int clean = std::countr_zero(static_cast<unsigned>(mask));
      p += clean;
      if constexpr (kWrite) o += clean;
      break;
    }
#endif
    while (p != quote && !kSpecial[static_cast<unsigned char>(*p)]) {
      if constexpr (kWrite) *o++ = *p;
      ++p;
    }
    if (p == quote) return kWrite ? o : const_cast<char*>(quote);

    const auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x80) {
      const int length = utf8_sequence_length(reinterpret_cast<const unsigned char*>(p),
                                              reinterpret_cast<const unsigned char*>(quote));
      if (length == 0) return nullptr;
      if constexpr (kWrite) {
        std::memcpy(o, p, static_cast<std::size_t>(length));
        o += length;
      }
      p += length;
      continue;
    }
    if (byte != '\\') return nullptr;  // a raw control character

    // The escape's letter exists: the closing quote comes after it.
    p = decode_escape<kWrite>(p + 1, quote, o);
    if (p == nullptr) return nullptr;
  }
}

// Decodes the contents [from, to) onto the end of `out`; false when they are not valid.
bool append_decoded(const char* from, const char* to, std::string& out) {
  bool ok = true;
  const std::size_t kept = out.size();
  out.resize_and_overwrite(kept + static_cast<std::size_t>(to - from),
                           [&](char* buffer, std::size_t) -> std::size_t {
                             char* const stop = decode_contents<true>(from, to, buffer + kept);
                             ok = stop != nullptr;
                             return ok ? static_cast<std::size_t>(stop - buffer) : kept;
                           });
  return ok;
}

}  // namespace

bool Scanner::string(std::string* out) {
  const char* const open = at_;
  if (!consume('"')) return false;
  const char* contents = at_;
  if (out != nullptr) out->clear();
  if (ahead_ != nullptr && out != nullptr && open == ahead_->open) {
    DecodedAhead& ahead = *std::exchange(ahead_, nullptr);
    *out = std::move(ahead.contents);
    contents = ahead.resume;
  }
  const char* quote = find_closing_quote(contents, end_);
  if (quote == nullptr) return false;
  if (out == nullptr) {
    if (decode_contents<false>(contents, quote, nullptr) == nullptr) return false;
  } else if (!append_decoded(contents, quote, *out)) {
    return false;
  }
  at_ = quote + 1;
  return true;
}

void StringAhead::feed(std::string_view line) {
  // Bytes held back so that an escape is read whole: `\uXXXX` is the longest.
  constexpr std::size_t kLongestEscape = 6;
  const char* const base = line.data();
  const std::size_t size = line.size();
  std::size_t i = scanned_;
  while (i < size && state_ != State::Finished) {
    if (state_ == State::Outside) {
      const void* quote = std::memchr(base + i, '"', size - i);
      if (quote == nullptr) {
        i = size;
        break;
      }
      open_ = static_cast<std::size_t>(static_cast<const char*>(quote) - base);
      i = run_start_ = open_ + 1;
      state_ = State::InString;
      continue;
    }
    i = text::find_any<'"', '\\'>(line, i);
    if (i == size) break;
    if (base[i] == '"') {
      if (decoding_) {
        decode_to(line, i);
        state_ = State::Finished;
      } else {
        state_ = State::Outside;
      }
      ++i;
      continue;
    }
    if (size - i < kLongestEscape) break;  // read it once the rest has come
    i += base[i + 1] == 'u' ? kLongestEscape : 2;
    run_start_ = i;
  }
  scanned_ = i;
  if (state_ != State::InString) return;
  if (!decoding_) {
    if (i - open_ < worth_from_) return;
    decoding_ = true;
    decoded_to_ = open_ + 1;
  }
  // Cut after the last plain ASCII byte read: never inside an escape or a UTF-8 sequence.
  std::size_t cut = i;
  while (cut > run_start_ && (static_cast<unsigned char>(base[cut - 1]) & 0xC0) == 0x80) --cut;
  if (cut > run_start_ && static_cast<unsigned char>(base[cut - 1]) >= 0x80) --cut;
  if (cut > run_start_ && cut > decoded_to_) decode_to(line, cut);
}

namespace {

// Moves `text` into a new block of `capacity` bytes, with huge pages asked for before the text
// moves in, so that the copy is backed alike.
void move_to_room(std::string& text, std::size_t capacity) {
  std::string room;
  room.reserve(capacity);
  memory::advise_huge_pages(room.data(), room.capacity());
  room.append(text);
  text.swap(room);
}

}  // namespace

bool StringAhead::decode_to(std::string_view line, std::size_t to) {
  // Room is reserved once, far ahead of need: pages never written take no memory, so a string of
  // up to 1 GB is decoded without ever copying what is already decoded (each such copy also has
  // the system zero the fresh pages it lands on). A block that large is mapped for itself and goes
  // back to the system when freed. Where so much address space is refused, room grows in steps
  // of at least 32 MB instead.
  constexpr std::size_t kReservedRoom = std::size_t{1} << 30;
  constexpr std::size_t kFirstRoom = std::size_t{32} << 20;
  if (const std::size_t needed = contents_.size() + (to - decoded_to_);
      needed > contents_.capacity()) {
    bool moved = false;
    if (contents_.capacity() < kReservedRoom && needed <= kReservedRoom) {
      try {
        move_to_room(contents_, kReservedRoom);
        moved = true;
      } catch (const std::bad_alloc&) {
      }
    }
    if (!moved) {
      try {
        move_to_room(contents_, std::max({needed, kFirstRoom, 2 * contents_.capacity()}));
      } catch (const std::bad_alloc&) {
        return give_up();
      }
    }
  }
  if (!append_decoded(line.data() + decoded_to_, line.data() + to, contents_)) return give_up();
  decoded_to_ = to;
  return true;
}

bool StringAhead::give_up() {
  state_ = State::Finished;
  decoding_ = false;
  contents_ = std::string();
  return false;
}

DecodedAhead StringAhead::take(const char* line) {
  DecodedAhead ahead;
  if (decoding_) {
    ahead.open = line + open_;
    ahead.resume = line + decoded_to_;
    ahead.contents = std::move(contents_);
  }
  *this = StringAhead(worth_from_);
  return ahead;
}

bool Scanner::number(Number& out) {
  const char* const start = at_;
  const bool negative = consume('-');
  if (at_ == end_ || !is_digit(*at_)) return false;
  if (*at_ == '0') {
    ++at_;
  } else {
    while (at_ != end_ && is_digit(*at_)) ++at_;
  }
  const char* const integer_end = at_;
  bool integral = true;
  if (consume('.')) {
    integral = false;
    if (at_ == end_ || !is_digit(*at_)) return false;
    while (at_ != end_ && is_digit(*at_)) ++at_;
  }
  if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
    integral = false;
    ++at_;
    if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
    if (at_ == end_ || !is_digit(*at_)) return false;
    while (at_ != end_ && is_digit(*at_)) ++at_;
  }
  out = Number{};
  out.text = std::string_view(start, static_cast<std::size_t>(at_ - start));
  if (!integral) return true;

  const char* const digits = negative ? start + 1 : start;
  std::uint64_t magnitude = 0;
  if (std::from_chars(digits, integer_end, magnitude).ec != std::errc()) return true;  // Other
  if (!negative) {
    out.kind = Number::Kind::Unsigned;
    out.unsigned_value = magnitude;
  } else if (magnitude <= std::uint64_t{1} << 63) {
    out.kind = Number::Kind::Negative;
    out.negative_value = static_cast<std::int64_t>(0 - magnitude);
  }
  return true;
}

bool Scanner::literal(bool& is_null, bool& value) {
  const auto rest = static_cast<std::size_t>(end_ - at_);
  auto take = [&](std::string_view word) {
    if (rest < word.size() || std::memcmp(at_, word.data(), word.size()) != 0) return false;
    at_ += word.size();
    return true;
  };
  is_null = false;
  value = false;
  if (take("null")) {
    is_null = true;
    return true;
  }
  if (take("false")) return true;
  if (take("true")) {
    value = true;
    return true;
  }
  return false;
}

bool Scanner::skip_scalar() {
  const char c = peek();
  if (c == '"') return string(nullptr);
  if (c == '-' || is_digit(c)) {
    Number ignored;
    return number(ignored);
  }
  bool is_null = false;
  bool value = false;
  return literal(is_null, value);
}

bool Scanner::skip_value() {
  // The containers open around the current position, innermost last: '{' or '['.
  std::string open;
  auto member_name = [&] {
    skip_white_space();
    if (!string(nullptr)) return false;
    skip_white_space();
    return consume(':');
  };
  for (;;) {
    // A value is expected here.
    skip_white_space();
    const char c = peek();
    if (c == '{' || c == '[') {
      ++at_;
      skip_white_space();
      if (!consume(c == '{' ? '}' : ']')) {
        open.push_back(c);
        if (c == '{' && !member_name()) return false;
        continue;
      }
    } else if (!skip_scalar()) {
      return false;
    }
    // A value has ended: close containers until one goes on with another element.
    for (;;) {
      if (open.empty()) return true;
      skip_white_space();
      if (consume(',')) {
        if (open.back() == '{' && !member_name()) return false;
        break;
      }
      if (!consume(open.back() == '{' ? '}' : ']')) return false;
      open.pop_back();
    }
  }
}

}  // namespace mdspeak::json
