#include "language/ngram_detector.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/unicode.h"

namespace mdspeak::language_detail {
namespace {

constexpr int kMaxNgram = 5;
constexpr int kSymbolBits = 8;
// States are numbered in 16 bits, which keeps the transition table small enough for the fastest
// cache (about 600 states over 64 symbols for the embedded profiles).
constexpr std::size_t kMaxStates = std::size_t{1} << 16;
constexpr char32_t kPad = U'_';

// Scores are summed in fixed point so that the sum does not depend on the order of the terms and
// a tie is a real tie.
constexpr double kFixedOne = 1 << 20;

constexpr std::uint8_t kWordChar = 1;  // letters and combining marks; everything else separates
constexpr std::uint8_t kLetter = 2;    // Unicode Alphabetic
// What tokenising needs, decided once per character with the rest.
constexpr std::uint8_t kSpace = 4;      // ends a token
constexpr std::uint8_t kCodeStart = 8;  // a token starting with it reads as code
constexpr std::uint8_t kCodeChar = 16;  // a token holding it reads as code
constexpr std::uint8_t kDot = 32;       // code between word characters

std::int64_t to_fixed(double value) {
  return std::llround(value * kFixedOne);
}

std::uint16_t script_slot(char32_t cp) {
  UErrorCode status = U_ZERO_ERROR;
  const UScriptCode script = uscript_getScript(static_cast<UChar32>(cp), &status);
  if (U_FAILURE(status) || script < 0) return USCRIPT_UNKNOWN;
  return static_cast<std::uint16_t>(std::min<int>(script, 255));
}

bool is_mark(char32_t cp) {
  return (U_GET_GC_MASK(static_cast<UChar32>(cp)) & U_GC_M_MASK) != 0;
}

struct ProfileStats {
  double total = 0;
  std::uint64_t smallest = 0;
};

ProfileStats stats_of(const std::vector<ProfileEntry>& profile) {
  ProfileStats stats;
  for (const auto& entry : profile) {
    stats.total += static_cast<double>(entry.count);
    if (stats.smallest == 0 || entry.count < stats.smallest) stats.smallest = entry.count;
  }
  return stats;
}

// Tokens (runs between white space) that read as code rather than prose: options, format
// directives, quoted names, paths, identifiers, placeholders, dotted names. Translated technical
// text keeps them in English, so they would pull Spanish towards English.
constexpr std::array<bool, 256> byte_table(std::string_view members) {
  std::array<bool, 256> table{};
  for (const char c : members) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kAsciiSpaces = byte_table(" \t\n\r\f\v");
constexpr std::array<bool, 256> kCodeStarts = byte_table("-%'");
// A token ending in a quote is a quoted name.
constexpr bool ends_code(unsigned char last) {
  return last == '\'';
}
// The characters that make their token code wherever they stand, as the byte ranges the vector
// scan compares against: as they are, and after folding to lower case (| 0x20), which takes
// [ \ ] @ with { | } `.
struct ByteRange {
  char low;
  char high;
};
constexpr std::array<ByteRange, 4> kCodeRanges = {{{'#', '%'}, {'<', '>'}, {'/', '/'}, {'_', '_'}}};
constexpr std::array<ByteRange, 2> kFoldedCodeRanges = {{{'{', '}'}, {'`', '`'}}};
constexpr std::array<bool, 256> code_char_table() {
  std::array<bool, 256> table{};
  const auto within = [](unsigned b, const ByteRange& r) {
    return b >= static_cast<unsigned char>(r.low) && b <= static_cast<unsigned char>(r.high);
  };
  for (unsigned b = 0; b < 0x80; ++b) {
    for (const ByteRange& r : kCodeRanges) table[b] = table[b] || within(b, r);
    for (const ByteRange& r : kFoldedCodeRanges) table[b] = table[b] || within(b | 0x20, r);
  }
  return table;
}
constexpr std::array<bool, 256> kCodeChars = code_char_table();
static_assert(kCodeChars == byte_table("/=<>{}[]|\\_@$%#`"), "folding takes no other byte");

std::uint8_t token_flags(char32_t cp) {
  if (cp >= 0x80) return unicode::is_white_space(cp) ? kSpace : 0;
  return static_cast<std::uint8_t>((kAsciiSpaces[cp] ? kSpace : 0) |
                                   (kCodeStarts[cp] ? kCodeStart : 0) |
                                   (kCodeChars[cp] ? kCodeChar : 0) | (cp == '.' ? kDot : 0));
}

// Letters, digits, underscore, and any byte of a non-ASCII character.
bool is_word_byte(unsigned char byte) {
  return byte >= 0x80 || (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
         (byte >= 'A' && byte <= 'Z') || byte == '_';
}

// Bytes of a word queue besides ASCII letters.
constexpr unsigned char kQueuedPad = 0x80;
constexpr unsigned char kQueuedReset = 0x81;

// What the plain-prose test needs of `kWindow` bytes of text, a bit per byte.
constexpr unsigned kWindow = 32;
struct TokenMasks {
  std::uint64_t space = 0;
  std::uint64_t letter = 0;
  std::uint64_t digit = 0;
  std::uint64_t code = 0;  // a character that makes its token code wherever it stands
  std::uint64_t dot = 0;
  std::uint64_t high = 0;  // a byte of a non-ASCII character
};

TokenMasks token_masks(const unsigned char* bytes) {
  TokenMasks m;
#if defined(__SSE2__)
  const auto in = [](__m128i v, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(high + 1))));
  };
  const auto is = [](__m128i v, char value) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(value)); };
  const auto any_in = [&](__m128i v, const auto& ranges) {
    __m128i hit = _mm_setzero_si128();
    for (const ByteRange& r : ranges) {
      hit = _mm_or_si128(hit, r.low == r.high ? is(v, r.low) : in(v, r.low, r.high));
    }
    return hit;
  };
  for (unsigned part = 0; part < kWindow / 16; ++part) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
    // Bytes above 0x7F compare as negative: they fall in no range below; `high` has them.
    const __m128i folded = _mm_or_si128(c, _mm_set1_epi8(0x20));
    const auto bits = [part](__m128i v) {
      return static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(v)))
             << (16 * part);
    };
    m.space |= bits(_mm_or_si128(is(c, ' '), in(c, '\t', '\r')));
    m.letter |= bits(in(folded, 'a', 'z'));
    m.digit |= bits(in(c, '0', '9'));
    m.code |= bits(_mm_or_si128(any_in(c, kCodeRanges), any_in(folded, kFoldedCodeRanges)));
    m.dot |= bits(is(c, '.'));
    m.high |= bits(c);
  }
#else
  for (unsigned i = 0; i < kWindow; ++i) {
    const unsigned char b = bytes[i];
    const std::uint64_t bit = std::uint64_t{1} << i;
    if (kAsciiSpaces[b]) m.space |= bit;
    if ((b | 0x20) >= 'a' && (b | 0x20) <= 'z') m.letter |= bit;
    if (b >= '0' && b <= '9') m.digit |= bit;
    if (kCodeChars[b]) m.code |= bit;
    if (b == '.') m.dot |= bit;
    if (b >= 0x80) m.high |= bit;
  }
#endif
  return m;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

}  // namespace

std::vector<ProfileEntry> parse_profile(std::string_view text) {
  std::vector<ProfileEntry> entries;
  std::map<std::u32string, bool> seen;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);

    const std::size_t tab = line.find('\t');
    if (tab == 0 || tab == std::string_view::npos) continue;
    std::string_view number = line.substr(tab + 1);
    while (!number.empty() && is_blank(number.front())) number.remove_prefix(1);
    while (!number.empty() && is_blank(number.back())) number.remove_suffix(1);
    if (number.empty() || number.size() > 18) continue;
    std::uint64_t count = 0;
    bool digits = true;
    for (char c : number) {
      if (c < '0' || c > '9') digits = false;
      count = count * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!digits || count == 0) continue;

    ProfileEntry entry;
    const std::string_view ngram = line.substr(0, tab);
    for (std::size_t pos = 0; pos < ngram.size();) {
      entry.ngram.push_back(unicode::next_code_point(ngram, pos));
    }
    entry.count = count;
    if (seen.emplace(entry.ngram, true).second) entries.push_back(std::move(entry));
  }
  return entries;
}

NgramDetector::NgramDetector(const std::vector<ProfileEntry>& english,
                             const std::vector<ProfileEntry>& spanish) {
  for (char32_t cp = 0; cp < low_.size(); ++cp) {
    CharClass& c = low_[cp];
    const bool letter = unicode::is_alphabetic(cp);
    c.flags = static_cast<std::uint8_t>((letter ? kLetter | kWordChar : 0) |
                                        (!letter && cp >= 0x80 && is_mark(cp) ? kWordChar : 0) |
                                        token_flags(cp));
    c.script = letter ? script_slot(cp) : std::uint16_t{USCRIPT_COMMON};
  }

  const ProfileStats en = stats_of(english);
  const ProfileStats es = stats_of(spanish);
  if (en.smallest == 0 || es.smallest == 0) return;  // no profile, no answer
  const double en_absent = std::log(0.5 * static_cast<double>(en.smallest) / en.total);
  const double es_absent = std::log(0.5 * static_cast<double>(es.smallest) / es.total);
  absent_margin_ = to_fixed(en_absent - es_absent);

  pad_symbol_ = add_symbol(kPad);
  // Gain of each n-gram in natural-log units, English minus Spanish, over the absent baseline.
  std::map<std::uint64_t, double> gains;
  auto add_profile = [&](const std::vector<ProfileEntry>& profile, const ProfileStats& stats,
                         double absent, double sign) {
    for (const auto& entry : profile) {
      if (entry.ngram.empty() || entry.ngram.size() > kMaxNgram) continue;
      std::uint64_t key = 0;
      bool encodable = true;
      for (char32_t cp : entry.ngram) {
        const std::uint8_t symbol = add_symbol(cp);
        encodable = encodable && symbol != 0;
        key = key << kSymbolBits | symbol;
      }
      if (!encodable) continue;
      const double score = std::log(static_cast<double>(entry.count) / stats.total);
      gains[key] += sign * (score - absent);
    }
  };
  add_profile(english, en, en_absent, 1.0);
  add_profile(spanish, es, es_absent, -1.0);
  std::sort(high_symbols_.begin(), high_symbols_.end());

  usable_ = build_automaton(gains);
  for (unsigned byte = 0; byte < 0x80; ++byte) {
    if (low_[byte].flags & kLetter) queued_symbols_[byte] = low_[byte].symbol;
  }
  queued_symbols_[kQueuedPad] = pad_symbol_;
  queued_symbols_[kQueuedReset] = 0;  // leads every state back to the empty n-gram, gaining 0
}

std::uint8_t NgramDetector::add_symbol(char32_t cp) {
  std::uint8_t existing = symbol_of(cp);
  if (existing != 0) return existing;
  if (next_symbol_ == 0) return 0;  // wrapped: more distinct characters than a key can hold
  const std::uint8_t symbol = next_symbol_++;
  if (cp < low_.size()) {
    low_[cp].symbol = symbol;
  } else {
    high_symbols_.emplace_back(cp, symbol);
    std::sort(high_symbols_.begin(), high_symbols_.end());
  }
  return symbol;
}

std::uint8_t NgramDetector::symbol_of(char32_t cp) const {
  if (cp < low_.size()) return low_[cp].symbol;
  auto it = std::lower_bound(high_symbols_.begin(), high_symbols_.end(),
                             std::pair<char32_t, std::uint8_t>(cp, 0));
  return it != high_symbols_.end() && it->first == cp ? it->second : 0;
}

NgramDetector::CharClass NgramDetector::char_class(char32_t cp) const {
  if (cp < low_.size()) return low_[cp];
  CharClass c;
  if (unicode::is_alphabetic(cp)) {
    c.flags = kLetter | kWordChar;
    c.script = script_slot(cp);
  } else if (is_mark(cp)) {
    c.flags = kWordChar;
  } else {
    c.flags = token_flags(cp);
  }
  if ((c.flags & kWordChar) && !high_symbols_.empty()) c.symbol = symbol_of(cp);
  return c;
}

bool NgramDetector::build_automaton(const std::map<std::uint64_t, double>& gains) {
  // Rows of a power of two, so a step is a shift and an or.
  symbol_count_ = std::bit_ceil<std::size_t>(next_symbol_ == 0 ? 256 : next_symbol_);
  symbol_shift_ = std::countr_zero(symbol_count_);
  // The trie of every profile n-gram, symbols in reading order; -1 where no child exists yet.
  std::vector<std::int32_t> child(symbol_count_, -1);
  std::vector<std::int64_t> own(1, 0);
  for (const auto& [key, gain] : gains) {
    std::size_t node = 0;
    for (int shift = kSymbolBits * (kMaxNgram - 1); shift >= 0; shift -= kSymbolBits) {
      const auto symbol = static_cast<std::size_t>(key >> shift & 0xFF);
      if (symbol == 0) continue;  // leading zeros of a shorter n-gram
      std::int32_t& next = child[node * symbol_count_ + symbol];
      if (next < 0) {
        next = static_cast<std::int32_t>(own.size());
        own.push_back(0);
        child.resize(child.size() + symbol_count_, -1);
      }
      node = static_cast<std::size_t>(child[node * symbol_count_ + symbol]);
    }
    own[node] = to_fixed(gain);
  }

  // Breadth first: a node's fallback is the longest proper suffix of its n-gram that is in the
  // trie, and its gain adds the fallback's, so one lookup sums every n-gram ending here.
  const std::size_t states = own.size();
  if (states > kMaxStates) return false;  // profiles far beyond libexttextcat's 400 lines
  next_.assign(states * symbol_count_, 0);
  gains_.assign(states, 0);
  std::vector<std::uint32_t> fallback(states, 0);
  std::vector<std::uint32_t> queue;
  queue.reserve(states);
  for (std::size_t symbol = 1; symbol < symbol_count_; ++symbol) {
    const std::int32_t next = child[symbol];
    if (next < 0) continue;
    next_[symbol] = static_cast<std::uint16_t>(next);
    queue.push_back(static_cast<std::uint32_t>(next));
  }
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const std::uint32_t node = queue[head];
    gains_[node] = own[node] + gains_[fallback[node]];
    for (std::size_t symbol = 1; symbol < symbol_count_; ++symbol) {
      const std::int32_t next = child[node * symbol_count_ + symbol];
      const std::uint16_t via_fallback = next_[fallback[node] * symbol_count_ + symbol];
      if (next < 0) {
        next_[node * symbol_count_ + symbol] = via_fallback;
      } else {
        next_[node * symbol_count_ + symbol] = static_cast<std::uint16_t>(next);
        fallback[static_cast<std::size_t>(next)] = via_fallback;
        queue.push_back(static_cast<std::uint32_t>(next));
      }
    }
  }
  return true;
}

std::size_t NgramDetector::plain_prose_tokens(const unsigned char* text, std::size_t size,
                                              Tally& prose, WordQueue& queue) const {
  // Several tokens at a time, found from bit masks: the next token's place does not wait on
  // reading this one.
  constexpr unsigned kLongestToken = kWindow - 1;
  std::size_t pos = 0;
  while (pos < size) {
    // A word's letters are copied a window's length at a time, so that much more is read.
    const unsigned char* bytes = text + pos;
    unsigned char copy[2 * kWindow];
    if (size - pos < sizeof copy) {
      std::memset(copy, 0, sizeof copy);
      std::memcpy(copy, bytes, size - pos);
      bytes = copy;
    }
    const TokenMasks m = token_masks(bytes);
    const std::uint64_t past_end =
        size - pos < kWindow ? ~std::uint64_t{0} << (size - pos) : std::uint64_t{0};
    const std::uint64_t blank = m.space | past_end;
    const std::uint64_t word_bytes = m.letter | m.digit;
    // Code as the general scan reads it: a code character anywhere, a dot between word bytes,
    // a code start or a final quote.
    const std::uint64_t code = m.high | m.code | (m.dot & (word_bytes << 1) & (word_bytes >> 1));

    // The next token's first byte in the window, past white space that ends nothing.
    const std::uint64_t leading = ~m.space;
    unsigned at = leading == 0 ? kWindow : static_cast<unsigned>(std::countr_zero(leading));
    while (at < kWindow) {
      const std::uint64_t ahead = blank >> at;
      if (ahead == 0) break;  // the token may run past the window
      const auto length = static_cast<unsigned>(std::countr_zero(ahead));
      if (length == 0 || length > kLongestToken) break;  // the end, or a long token
      const std::uint64_t token = ((std::uint64_t{1} << length) - 1) << at;
      if ((code & token) != 0 || kCodeStarts[bytes[at]] || ends_code(bytes[at + length - 1])) {
        break;
      }

      std::uint64_t letters = 0;
      std::uint64_t single_letter_words = 0;
      std::uint64_t rest = m.letter & token;
      while (rest != 0) {
        const auto start = static_cast<unsigned>(std::countr_zero(rest));
        const auto word = static_cast<unsigned>(std::countr_zero(~(rest >> start)));
        const std::size_t lane = queue.next_lane;
        queue.next_lane = (lane + 1) % kLanes;
        unsigned char* out = queue.lanes[lane].data() + queue.size[lane];
        out[0] = kQueuedPad;
        std::memcpy(out + 1, bytes + start, kWindow);
        out[1 + word] = kQueuedPad;
        out[2 + word] = kQueuedReset;
        queue.size[lane] += word + 3;
        if (queue.size[lane] >= kLaneDrain) drain(queue, prose);
        letters += word;
        single_letter_words += word == 1 ? 1 : 0;
        rest &= rest + (std::uint64_t{1} << start);  // clears the word's bits
      }
      // A padded word of n letters holds 5n n-grams, and 6 when n is 1.
      prose.margin +=
          static_cast<std::int64_t>(kMaxNgram * letters + single_letter_words) * absent_margin_;
      prose.letters_by_script[USCRIPT_LATIN] += letters;

      // Past the token and the white space after it, which ends nothing more.
      at += length;
      const std::uint64_t spaces_ahead = ~(m.space >> at);
      at += static_cast<unsigned>(std::countr_zero(spaces_ahead));  // the shift brings in zeros
    }
    if (at == 0) break;  // no plain token here
    pos += at;
  }
  return std::min(pos, size);
}

void NgramDetector::drain(WordQueue& queue, Tally& prose) const {
  static_assert(kLanes == 4);
  const auto* lane0 = queue.lanes[0].data();
  const auto* lane1 = queue.lanes[1].data();
  const auto* lane2 = queue.lanes[2].data();
  const auto* lane3 = queue.lanes[3].data();
  const std::uint16_t* next = next_.data();
  const std::int64_t* gains = gains_.data();
  const std::uint8_t* symbols = queued_symbols_.data();
  const int shift = symbol_shift_;
  // Four states in registers, stepped together: their lookups overlap.
  std::size_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  std::int64_t gain = 0;
  const std::size_t common =
      std::min(std::min(queue.size[0], queue.size[1]), std::min(queue.size[2], queue.size[3]));
  for (std::size_t i = 0; i < common; ++i) {
    s0 = next[s0 << shift | symbols[lane0[i]]];
    s1 = next[s1 << shift | symbols[lane1[i]]];
    s2 = next[s2 << shift | symbols[lane2[i]]];
    s3 = next[s3 << shift | symbols[lane3[i]]];
    gain += gains[s0] + gains[s1] + gains[s2] + gains[s3];
  }
  const std::array<std::size_t, kLanes> states = {s0, s1, s2, s3};
  for (std::size_t lane = 0; lane < kLanes; ++lane) {
    std::size_t state = states[lane];
    for (std::size_t i = common; i < queue.size[lane]; ++i) {
      state = next[state << shift | symbols[queue.lanes[lane][i]]];
      gain += gains[state];
    }
    queue.size[lane] = 0;
  }
  prose.margin += gain;
}

// The token `scan` is reading (a run between white space): where it starts, whether it reads as
// code, and what it adds, kept apart until its end decides whether that goes to prose or to code;
// and the padded word being read in it, with the automaton's state (0 is the empty n-gram; a
// character in no profile leads back to it).
struct NgramDetector::TokenState {
  static constexpr std::size_t kNoToken = std::string_view::npos;
  static constexpr std::uint16_t kNoScript = 0xFFFF;

  const NgramDetector& detector;
  std::size_t start = kNoToken;
  bool is_code = false;
  std::uint64_t ngrams = 0;
  std::int64_t gain = 0;
  std::uint16_t script = kNoScript;  // of the token's letters, while they share one
  bool mixed_scripts = false;
  std::uint64_t letters = 0;
  std::uint64_t symbols = 0;  // of the padded word
  bool in_word = false;
  std::size_t state = 0;

  void begin(std::size_t at, bool code_start) {
    start = at;
    is_code = code_start;
    ngrams = 0;
    gain = 0;
    script = kNoScript;
    mixed_scripts = false;
    letters = 0;
  }
  void push(std::uint8_t symbol) {
    ++symbols;
    state = detector.next_[state << detector.symbol_shift_ | symbol];
    gain += detector.gains_[state];
  }
  void begin_word() {
    in_word = true;
    state = 0;
    symbols = 0;
    push(detector.pad_symbol_);
  }
  // A padded word of n symbols holds min(i, longest n-gram) n-grams ending at its i-th symbol.
  void end_word() {
    in_word = false;
    push(detector.pad_symbol_);
    constexpr std::uint64_t kFull = kMaxNgram;
    ngrams += symbols <= kFull ? symbols * (symbols + 1) / 2
                               : kFull * (kFull + 1) / 2 + (symbols - kFull) * kFull;
  }
  void add_letter(std::uint16_t letter_script) {
    if (script != letter_script) {
      mixed_scripts = mixed_scripts || script != kNoScript;
      script = letter_script;
    }
    ++letters;
  }
  __attribute__((always_inline)) void end(std::string_view text, std::size_t end, Tally& prose,
                                          Tally& code) {
    if (in_word) end_word();
    if (start == kNoToken) return;
    Tally& to = is_code || ends_code(static_cast<unsigned char>(text[end - 1])) ? code : prose;
    to.margin += static_cast<std::int64_t>(ngrams) * detector.absent_margin_ + gain;
    if (!mixed_scripts) {
      if (letters > 0) to.letters_by_script[script] += letters;
    } else {
      // Rare: count the token's letters again, script by script.
      const std::string_view token = text.substr(start, end - start);
      for (std::size_t pos = 0; pos < token.size();) {
        const CharClass c = detector.char_class(unicode::next_code_point(token, pos));
        if (c.flags & kLetter) ++to.letters_by_script[c.script];
      }
    }
    start = kNoToken;
  }
};

void NgramDetector::scan(std::string_view text, Tally& prose, Tally& code, WordQueue& queue) const {
  TokenState token{*this};
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t at = pos;
    char32_t cp = bytes[pos];
    if (cp < 0x80) {
      ++pos;
    } else {
      cp = unicode::next_code_point(text, pos);
    }
    const CharClass c = cp < low_.size() ? low_[cp] : char_class(cp);
    if (c.flags & kSpace) {
      token.end(text, at, prose, code);
      continue;
    }
    if (token.start == TokenState::kNoToken) {
      if (cp < 0x80) {
        const std::size_t length = plain_prose_tokens(bytes + at, text.size() - at, prose, queue);
        if (length != 0) {
          pos = at + length;
          continue;
        }
      }
      token.begin(at, (c.flags & kCodeStart) != 0);
    }
    if (!token.is_code && (c.flags & (kCodeChar | kDot))) {
      token.is_code =
          (c.flags & kCodeChar) || (at > token.start && pos < text.size() &&
                                    is_word_byte(bytes[at - 1]) && is_word_byte(bytes[pos]));
    }

    if (c.flags & kWordChar) {
      if (!token.in_word) token.begin_word();
      token.push(c.symbol);
      if (c.flags & kLetter) {
        token.add_letter(c.script);
        // The rest of a run of ASCII letters of the same script, without the general checks:
        // such a letter neither ends the token nor makes it code.
        while (pos < text.size() && bytes[pos] < 0x80) {
          const CharClass& next = low_[bytes[pos]];
          if ((next.flags & kLetter) == 0 || next.script != token.script) break;
          token.push(next.symbol);
          ++token.letters;
          ++pos;
        }
      }
    } else if (token.in_word) {
      token.end_word();
    }
  }
  token.end(text, text.size(), prose, code);
}

std::optional<SupportedLanguage> NgramDetector::classify(std::string_view text) const {
  return classify(std::span<const std::string_view>(&text, 1));
}

NgramDetector::Tally& NgramDetector::Tally::operator+=(const Tally& other) {
  margin += other.margin;
  for (std::size_t i = 0; i < letters_by_script.size(); ++i) {
    letters_by_script[i] += other.letters_by_script[i];
  }
  return *this;
}

void NgramDetector::gather(std::span<const std::string_view> pieces, Evidence& into) const {
  if (!usable_) return;
  // Every word ends where its piece ends, as it would at the joining space: the tallies add up.
  WordQueue queue;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    // The pieces lie apart in memory: fetch the next ones' first bytes while this one is read.
    if (i + 4 < pieces.size()) __builtin_prefetch(pieces[i + 4].data());
    scan(pieces[i], into.prose_, into.code_, queue);
  }
  drain(queue, into.prose_);
}

NgramDetector::Tally NgramDetector::decisive(const Evidence& evidence) {
  std::uint64_t prose_letters = 0;
  for (const std::uint64_t letters : evidence.prose_.letters_by_script) prose_letters += letters;
  if (prose_letters > 0) return evidence.prose_;
  // Nothing but code: its words are all there is to go on.
  Tally code = evidence.code_;
  code.margin += evidence.prose_.margin;
  return code;
}

std::optional<SupportedLanguage> NgramDetector::classify(
    std::span<const std::string_view> pieces) const {
  if (!usable_) return std::nullopt;
  Evidence evidence;
  gather(pieces, evidence);
  return classify(evidence);
}

std::optional<SupportedLanguage> NgramDetector::classify(const Evidence& evidence) const {
  if (!usable_) return std::nullopt;
  const Tally tally = decisive(evidence);

  const std::uint64_t latin = tally.letters_by_script[USCRIPT_LATIN];
  if (latin == 0) return std::nullopt;
  for (std::size_t script = 0; script < tally.letters_by_script.size(); ++script) {
    if (script == USCRIPT_LATIN || script == USCRIPT_COMMON || script == USCRIPT_INHERITED ||
        script == USCRIPT_UNKNOWN) {
      continue;
    }
    if (tally.letters_by_script[script] >= latin) return std::nullopt;
  }

  if (tally.margin > 0) return SupportedLanguage::English;
  if (tally.margin < 0) return SupportedLanguage::Spanish;
  return std::nullopt;
}

double NgramDetector::english_margin(std::string_view text) const {
  if (!usable_) return 0;
  Evidence evidence;
  gather(std::span<const std::string_view>(&text, 1), evidence);
  return static_cast<double>(decisive(evidence).margin) / kFixedOne;
}

const NgramDetector& shared_detector() {
  static const NgramDetector detector(parse_profile(embedded_profile(SupportedLanguage::English)),
                                      parse_profile(embedded_profile(SupportedLanguage::Spanish)));
  return detector;
}

}  // namespace mdspeak::language_detail
