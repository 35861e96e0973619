#include "language/ngram_detector.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <map>

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
constexpr std::array<bool, 256> kCodeChars = byte_table("/=<>{}[]|\\_@$%#`");

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

void NgramDetector::scan(std::string_view text, Tally& prose, Tally& code) const {
  // The token being read (a run between white space): where it starts, whether it reads as code,
  // and what it adds, kept apart until its end decides whether that goes to prose or to code.
  constexpr std::size_t kNoToken = std::string_view::npos;
  constexpr std::uint16_t kNoScript = 0xFFFF;
  std::size_t token_start = kNoToken;
  bool is_code = false;
  std::uint64_t ngrams = 0;
  std::int64_t gain = 0;
  std::uint16_t script = kNoScript;  // of the token's letters, while they share one
  bool mixed_scripts = false;
  std::uint64_t letters = 0;

  // The padded word being read: how many symbols so far, and the automaton's state (0 is the
  // empty n-gram; a character in no profile leads back to it).
  std::uint64_t symbols = 0;
  bool in_word = false;
  std::size_t state = 0;
  auto push = [&](std::uint8_t symbol) {
    ++symbols;
    state = next_[state << symbol_shift_ | symbol];
    gain += gains_[state];
  };
  // A padded word of n symbols holds min(i, longest n-gram) n-grams ending at its i-th symbol.
  auto end_word = [&] {
    in_word = false;
    push(pad_symbol_);
    constexpr std::uint64_t kFull = kMaxNgram;
    ngrams += symbols <= kFull ? symbols * (symbols + 1) / 2
                               : kFull * (kFull + 1) / 2 + (symbols - kFull) * kFull;
  };

  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  auto end_token = [&](std::size_t end) __attribute__((always_inline)) {
    if (in_word) end_word();
    if (token_start == kNoToken) return;
    Tally& to = is_code || bytes[end - 1] == '\'' ? code : prose;
    to.margin += static_cast<std::int64_t>(ngrams) * absent_margin_ + gain;
    if (!mixed_scripts) {
      if (letters > 0) to.letters_by_script[script] += letters;
    } else {
      // Rare: count the token's letters again, script by script.
      const std::string_view token = text.substr(token_start, end - token_start);
      for (std::size_t pos = 0; pos < token.size();) {
        const CharClass c = char_class(unicode::next_code_point(token, pos));
        if (c.flags & kLetter) ++to.letters_by_script[c.script];
      }
    }
    token_start = kNoToken;
  };

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
      end_token(at);
      continue;
    }
    if (token_start == kNoToken) {
      token_start = at;
      is_code = (c.flags & kCodeStart) != 0;
      ngrams = 0;
      gain = 0;
      script = kNoScript;
      mixed_scripts = false;
      letters = 0;
    }
    if (!is_code && (c.flags & (kCodeChar | kDot))) {
      is_code = (c.flags & kCodeChar) || (at > token_start && pos < text.size() &&
                                          is_word_byte(bytes[at - 1]) && is_word_byte(bytes[pos]));
    }

    if (c.flags & kWordChar) {
      if (!in_word) {
        in_word = true;
        state = 0;
        symbols = 0;
        push(pad_symbol_);
      }
      push(c.symbol);
      if (c.flags & kLetter) {
        if (script != c.script) {
          mixed_scripts = mixed_scripts || script != kNoScript;
          script = c.script;
        }
        ++letters;
        // The rest of a run of ASCII letters of the same script, without the general checks:
        // such a letter neither ends the token nor makes it code.
        while (pos < text.size() && bytes[pos] < 0x80) {
          const CharClass& next = low_[bytes[pos]];
          if ((next.flags & kLetter) == 0 || next.script != script) break;
          push(next.symbol);
          ++letters;
          ++pos;
        }
      }
    } else if (in_word) {
      end_word();
    }
  }
  end_token(text.size());
}

std::optional<SupportedLanguage> NgramDetector::classify(std::string_view text) const {
  return classify(std::span<const std::string_view>(&text, 1));
}

NgramDetector::Tally NgramDetector::tally_of(std::span<const std::string_view> pieces) const {
  // Every word ends where its piece ends, as it would at the joining space: the tallies add up.
  Tally prose;
  Tally code;
  for (const std::string_view piece : pieces) scan(piece, prose, code);
  std::uint64_t prose_letters = 0;
  for (const std::uint64_t letters : prose.letters_by_script) prose_letters += letters;
  if (prose_letters > 0) return prose;
  // Nothing but code: its words are all there is to go on.
  code.margin += prose.margin;
  return code;
}

std::optional<SupportedLanguage> NgramDetector::classify(
    std::span<const std::string_view> pieces) const {
  if (!usable_) return std::nullopt;
  const Tally tally = tally_of(pieces);

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
  return static_cast<double>(tally_of(std::span<const std::string_view>(&text, 1)).margin) /
         kFixedOne;
}

const NgramDetector& shared_detector() {
  static const NgramDetector detector(parse_profile(embedded_profile(SupportedLanguage::English)),
                                      parse_profile(embedded_profile(SupportedLanguage::Spanish)));
  return detector;
}

}  // namespace mdspeak::language_detail
