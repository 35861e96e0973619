#include "summary/keywords.h"
#include "common/text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/unicode.h"
#include "summary/text.h"

namespace mdspeak {
namespace {

constexpr std::array<std::string_view, 8> kOverviewTerms = {
    "architecture", "design",   "how it works", "intro",
    "introduction", "overview", "scope",        "system",
};
constexpr std::array<std::string_view, 15> kSetupTerms = {
    "bootstrap",       "build",      "configure",    "configuration", "development",
    "getting started", "install",    "installation", "local",         "package",
    "packaging",       "quickstart", "run",          "setup",         "usage",
};
constexpr std::array<std::string_view, 17> kReferenceTerms = {
    "api",         "command",   "commands", "config",    "configuration", "env",
    "environment", "field",     "flag",     "interface", "option",        "options",
    "parameter",   "reference", "schema",   "setting",   "settings",
};
constexpr std::array<std::string_view, 9> kRunbookTerms = {
    "debug",    "diagnose", "error",        "incident",        "mitigation",
    "recovery", "runbook",  "troubleshoot", "troubleshooting",
};
constexpr std::array<std::string_view, 9> kStatusTerms = {
    "changelog", "completed", "progress", "release note", "release notes",
    "released",  "shipped",   "status",   "update",
};
constexpr std::array<std::string_view, 13> kPlanningTerms = {
    "action item", "action items", "backlog", "checklist", "milestone", "next step", "next steps",
    "plan",        "roadmap",      "task",    "tasks",     "todo",      "to do",
};
constexpr std::array<std::string_view, 17> kCaveatTerms = {
    "boundary",    "boundaries", "caveat",   "caveats",     "compatibility", "constraint",
    "constraints", "depends",    "fallback", "limitation",  "limitations",   "note",
    "notes",       "only",       "requires", "unsupported", "warning",
};

// Spanish counterparts, for Spanish documents: what a translator writes for the English terms
// (both gender and number forms where the English word covers them). A Spanish document is
// matched against the English and the Spanish terms, since English names ("API", "build",
// "setup") stand in Spanish technical writing as they are. At most three words per keyword.
constexpr std::array<std::string_view, 8> kSpanishOverviewTerms = {
    "arquitectura",        "diseño",  "cómo funciona", "introducción", "visión general",
    "descripción general", "alcance", "sistema",
};
constexpr std::array<std::string_view, 20> kSpanishSetupTerms = {
    "arranque",    "compilar",       "compilación", "configurar",       "configuración",
    "desarrollo",  "primeros pasos", "instalar",    "instalación",      "paquete",
    "empaquetado", "inicio rápido",  "ejecutar",    "puesta en marcha", "uso",
    "modo de uso", "instala",        "ejecuta",     "compila",          "configura"};
constexpr std::array<std::string_view, 16> kSpanishReferenceTerms = {
    "orden",      "órdenes",  "comando", "comandos", "configuración", "entorno",
    "indicador",  "interfaz", "opción",  "opciones", "parámetro",     "parámetros",
    "referencia", "esquema",  "ajuste",  "ajustes"};
constexpr std::array<std::string_view, 13> kSpanishRunbookTerms = {"depurar",
                                                                   "depuración",
                                                                   "diagnosticar",
                                                                   "diagnóstico",
                                                                   "incidencia",
                                                                   "incidente",
                                                                   "mitigación",
                                                                   "recuperación",
                                                                   "manual de operaciones",
                                                                   "resolver problemas",
                                                                   "solución de problemas",
                                                                   "resolución de problemas",
                                                                   "depura"};
constexpr std::array<std::string_view, 19> kSpanishStatusTerms = {"registro de cambios",
                                                                  "completado",
                                                                  "completada",
                                                                  "completados",
                                                                  "completadas",
                                                                  "progreso",
                                                                  "avance",
                                                                  "notas de publicación",
                                                                  "notas de lanzamiento",
                                                                  "publicado",
                                                                  "publicada",
                                                                  "entregado",
                                                                  "entregada",
                                                                  "actualización",
                                                                  "actualizar",
                                                                  "estado de salida",
                                                                  "estado actual",
                                                                  "estado del proyecto",
                                                                  "actualiza"};
constexpr std::array<std::string_view, 16> kSpanishPlanningTerms = {
    "acción pendiente",
    "acciones pendientes",
    "lista de comprobación",
    "lista de verificación",
    "hito",
    "hitos",
    "siguiente paso",
    "siguientes pasos",
    "próximo paso",
    "próximos pasos",
    "hoja de ruta",
    "tarea",
    "tareas",
    "por hacer",
    "pendiente",
    "pendientes",
};
constexpr std::array<std::string_view, 21> kSpanishCaveatTerms = {
    "límite",     "límites",        "advertencia", "advertencias",  "salvedad",
    "salvedades", "compatibilidad", "restricción", "restricciones", "depende",
    "limitación", "limitaciones",   "nota",        "notas",         "solo",
    "sólo",       "solamente",      "únicamente",  "requiere",      "no compatible",
    "aviso"};

template <std::size_t A, std::size_t B>
constexpr std::array<std::string_view, A + B> joined(const std::array<std::string_view, A>& a,
                                                     const std::array<std::string_view, B>& b) {
  std::array<std::string_view, A + B> out{};
  for (std::size_t i = 0; i < A; ++i) out[i] = a[i];
  for (std::size_t i = 0; i < B; ++i) out[A + i] = b[i];
  return out;
}

constexpr auto kBothOverviewTerms = joined(kOverviewTerms, kSpanishOverviewTerms);
constexpr auto kBothSetupTerms = joined(kSetupTerms, kSpanishSetupTerms);
constexpr auto kBothReferenceTerms = joined(kReferenceTerms, kSpanishReferenceTerms);
constexpr auto kBothRunbookTerms = joined(kRunbookTerms, kSpanishRunbookTerms);
constexpr auto kBothStatusTerms = joined(kStatusTerms, kSpanishStatusTerms);
// Not "todo": in Spanish it is "all".
constexpr std::array<std::string_view, 12> kPlanningTermsForSpanish = {
    "action item", "action items", "backlog", "checklist", "milestone", "next step",
    "next steps",  "plan",         "roadmap", "task",      "tasks",     "to do"};
constexpr auto kBothPlanningTerms = joined(kPlanningTermsForSpanish, kSpanishPlanningTerms);
constexpr auto kBothCaveatTerms = joined(kCaveatTerms, kSpanishCaveatTerms);

using KeywordLists = std::array<std::span<const std::string_view>, 8>;

// Indexed by SectionKind; General has none.
constexpr KeywordLists kLists = {
    kOverviewTerms, kSetupTerms,    kReferenceTerms, kRunbookTerms,
    kStatusTerms,   kPlanningTerms, kCaveatTerms,    {},
};
constexpr KeywordLists kSpanishLists = {
    kBothOverviewTerms, kBothSetupTerms,    kBothReferenceTerms, kBothRunbookTerms,
    kBothStatusTerms,   kBothPlanningTerms, kBothCaveatTerms,    {},
};

// Caveats are tested before setup so that "this only works on ..." under an install heading
// reads as a caveat; "configuration", in two lists, makes a section Setup.
constexpr std::array<SectionKind, 7> kTestOrder = {
    SectionKind::Planning,  SectionKind::Status,  SectionKind::Caveat,   SectionKind::Setup,
    SectionKind::Reference, SectionKind::Runbook, SectionKind::Overview,
};

constexpr unsigned bit_of(SectionKind kind) {
  return 1u << static_cast<unsigned>(kind);
}

// How a byte reads: kept classes last, so that `>= Keep` tests for them.
enum ByteClass : unsigned char { Space, Other, Multibyte, Keep };

constexpr std::array<ByteClass, 256> byte_classes() {
  std::array<ByteClass, 256> table{};
  for (int b = 0; b < 256; ++b) {
    if (b >= 0x80) {
      table[b] = Multibyte;
    } else if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
      table[b] = Keep;
    } else if (b == ' ' || (b >= 0x09 && b <= 0x0D)) {
      table[b] = Space;
    } else {
      table[b] = Other;
    }
  }
  return table;
}
constexpr std::array<ByteClass, 256> kByteClasses = byte_classes();

// A word of a text equals a keyword word when they agree once ASCII capitals are lowered:
// other characters are never lowered in the matching form, and keywords are lower case.
bool same_word(std::string_view run, std::string_view keyword_word) {
  if (run.size() != keyword_word.size()) return false;
  for (std::size_t i = 0; i < run.size(); ++i) {
    if (text::ascii_lower(run[i]) != keyword_word[i]) return false;
  }
  return true;
}

struct KeywordEntry {
  std::array<std::string_view, 3> words{};  // the keyword's words, last one last
  std::size_t count = 0;
  unsigned kinds = 0;  // bit per SectionKind whose list holds the keyword
};

constexpr std::size_t kMaxWord = 24;           // longer words end no keyword
constexpr std::size_t kSlots = kMaxWord * 26;  // by length and first byte of a last word

// The bucket of a first byte: a letter with either case, or the lead byte of an accented one.
constexpr std::size_t first_byte_slot(char c) {
  return (static_cast<unsigned char>(c) | 0x20u) % 26u;
}
constexpr unsigned kFilterBits = 12;
constexpr std::size_t kFilterSlots = std::size_t{1} << kFilterBits;

// A hash of a word's length and of its first two and last two bytes (the same byte for a word of
// one), each with bit 5 set: that lowers ASCII capitals and leaves lower-case letters alone, so a
// word and its lower-case keyword always share a slot.
constexpr std::size_t filter_slot(const char* word, std::size_t size) {
  const auto byte = [word](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(word[i]) | 0x20u);
  };
  const std::uint32_t ends = byte(0) | byte(size > 1 ? 1 : 0) << 8 |
                             byte(size > 1 ? size - 2 : 0) << 16 | byte(size - 1) << 24;
  const std::uint32_t key = ends ^ static_cast<std::uint32_t>(size) * 0x01000193u;
  return (key * 0x9E3779B1u) >> (32 - kFilterBits);
}

// Calls `f(entry, slot)` for every keyword of every list; the slot is that of its last word.
template <class F>
constexpr void for_each_keyword(const KeywordLists& lists, F&& f) {
  for (SectionKind kind : kTestOrder) {
    for (std::string_view keyword : lists[static_cast<std::size_t>(kind)]) {
      KeywordEntry entry;
      entry.kinds = bit_of(kind);
      std::size_t start = 0;
      while (true) {
        const std::size_t space = keyword.find(' ', start);
        entry.words[entry.count++] = keyword.substr(start, space - start);
        if (space == std::string_view::npos) break;
        start = space + 1;
      }
      const std::string_view last = entry.words[entry.count - 1];
      f(entry, last.size() * 26 + first_byte_slot(last.front()));
    }
  }
}

// Keywords indexed by the length and first letter of their last word: a keyword occurs exactly
// where a word of the text equals its last word and the words before match its other words.
class KeywordIndex {
 public:
  explicit constexpr KeywordIndex(const KeywordLists& lists) {
    // Two passes: count the entries of each bucket, then lay the buckets out one after another.
    std::array<std::size_t, kSlots> counts{};
    for_each_keyword(lists, [&](const KeywordEntry&, std::size_t slot) { ++counts[slot]; });
    std::size_t next = 0;
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
      first_[slot] = next;
      end_[slot] = next;
      next += counts[slot];
    }
    for_each_keyword(lists, [&](const KeywordEntry& entry, std::size_t slot) {
      const std::string_view last = entry.words[entry.count - 1];
      filter_[filter_slot(last.data(), last.size())] |= static_cast<std::uint8_t>(entry.kinds);
      for (std::size_t i = first_[slot]; i < end_[slot]; ++i) {
        if (entries_[i].words == entry.words) {
          entries_[i].kinds |= entry.kinds;  // a keyword of two lists
          return;
        }
      }
      entries_[end_[slot]++] = entry;
    });
  }

  // Kinds that may have a keyword whose last word is `run`: a superset, from a hash of its
  // length and its first two and last two bytes with ASCII capitals lowered. Most words get
  // nothing from this one lookup, which has no branch to mispredict.
  unsigned kinds_may_end_with(std::string_view run) const {
    return filter_[filter_slot(run.data(), run.size())];
  }

  // Kinds of the keywords whose last word is `run`, given the two words before it (empty when
  // there are none). Only for a run that `kinds_may_end_with` lets through.
  [[gnu::noinline]] unsigned kinds_ending_with(std::string_view run, std::string_view previous,
                                               std::string_view before_previous) const {
    if (run.size() >= kMaxWord) return 0;  // a hash collision with no keyword
    const std::size_t slot = run.size() * 26 + first_byte_slot(run.front());
    unsigned kinds = 0;
    for (std::size_t i = first_[slot]; i < end_[slot]; ++i) {
      const KeywordEntry& entry = entries_[i];
      if (!same_word(run, entry.words[entry.count - 1])) continue;
      if (entry.count >= 2 && !same_word(previous, entry.words[entry.count - 2])) continue;
      if (entry.count >= 3 && !same_word(before_previous, entry.words[entry.count - 3])) continue;
      kinds |= entry.kinds;
    }
    return kinds;
  }

 private:
  static constexpr std::size_t kMaxEntries = 256;

  std::array<KeywordEntry, kMaxEntries> entries_{};
  std::array<std::size_t, kSlots> first_{};
  std::array<std::size_t, kSlots> end_{};
  std::array<std::uint8_t, kFilterSlots> filter_{};  // kinds, by `filter_slot` of a last word
};

// Built at compile time; every keyword is one to three short lower-case words.
constexpr KeywordIndex KEYWORD_INDEX(kLists);
constexpr KeywordIndex SPANISH_KEYWORD_INDEX(kSpanishLists);

}  // namespace

std::span<const std::string_view> keyword_list(SectionKind kind, SupportedLanguage language) {
  const KeywordLists& lists = language == SupportedLanguage::Spanish ? kSpanishLists : kLists;
  return lists[static_cast<std::size_t>(kind)];
}

namespace {

// What a matcher knows, copied into locals while a text is read so that it stays in registers.
struct MatchState {
  const KeywordIndex& index;
  std::string_view previous;         // the last word read
  std::string_view before_previous;  // the one before it
  unsigned found;
  unsigned wanted;
};

[[gnu::always_inline]] inline void read_word(MatchState& state, std::string_view run) {
  if ((state.index.kinds_may_end_with(run) & state.wanted) != 0) {
    const unsigned kinds =
        state.index.kinds_ending_with(run, state.previous, state.before_previous) & state.wanted;
    if (kinds != 0) {
      state.found |= kinds;
      // Only kinds tested before the best one found so far can still change the answer.
      state.wanted = 0;
      for (SectionKind kind : kTestOrder) {
        if (state.found & bit_of(kind)) break;
        state.wanted |= bit_of(kind);
      }
    }
  }
  state.before_previous = state.previous;
  state.previous = run;
}

}  // namespace

SectionKind KeywordMatcher::kind() const {
  for (SectionKind kind : kTestOrder) {
    if (found_ & bit_of(kind)) return kind;
  }
  return SectionKind::General;
}

namespace {

struct BlockMasks {
  std::uint64_t keep;   // bit per letter or digit
  std::uint64_t solid;  // bit per byte that is not white space
  std::uint64_t high;   // bit per byte of a non-ASCII character; the others are only right then
};

// std::popcount is a library call where the target has no popcnt instruction (the x86-64
// baseline); this is the same count inline.
int count_bits(std::uint64_t x) {
#if defined(__POPCNT__) || !defined(__x86_64__)
  return std::popcount(x);
#else
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int>((x * 0x0101010101010101u) >> 56);
#endif
}

// Masks of 64 bytes of text.
[[gnu::always_inline]] inline BlockMasks classify_block(const char* bytes) {
#if defined(__SSE2__)
  std::uint64_t keep = 0;
  std::uint64_t space = 0;
  std::uint64_t high = 0;
  for (int part = 0; part < 4; ++part) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
    // Signed comparisons order ASCII bytes correctly; the others are flagged in `high`.
    const __m128i folded = _mm_or_si128(c, _mm_set1_epi8(0x20));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                         _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                        _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')),
                                       _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(0x08)),
                                                     _mm_cmplt_epi8(c, _mm_set1_epi8(0x0E))));
    keep |= static_cast<std::uint64_t>(
                static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_or_si128(letter, digit))))
            << (16 * part);
    space |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(blank)))
             << (16 * part);
    high |= static_cast<std::uint64_t>(static_cast<std::uint16_t>(_mm_movemask_epi8(c)))
            << (16 * part);
  }
  return {keep, ~space, high};
#else
  std::uint64_t keep = 0;
  std::uint64_t solid = 0;
  std::uint64_t high = 0;
  for (std::size_t i = 0; i < 64; ++i) {
    const ByteClass cls = kByteClasses[static_cast<unsigned char>(bytes[i])];
    keep |= static_cast<std::uint64_t>(cls >= Keep) << i;
    solid |= static_cast<std::uint64_t>(cls != Space) << i;
    high |= static_cast<std::uint64_t>(cls == Multibyte) << i;
  }
  return {keep, solid, high};
#endif
}

}  // namespace

namespace {

// Where `feed` is in its text: words counted, whether the last byte read was inside a word, and
// where the open run of alphanumerics starts.
struct FeedCursor {
  std::string_view text;
  std::size_t words = 0;
  bool in_text_word = false;
  std::size_t run_start = std::string_view::npos;
};

// An all-ASCII block of `length` bytes at `pos`, from its masks: word counts and run boundaries
// without a branch per byte.
template <class Word>
inline void read_ascii_block(FeedCursor& c, std::size_t pos, std::size_t length,
                             const BlockMasks& masks, const Word& word) {
  const std::uint64_t keep = masks.keep;
  const std::uint64_t solid = masks.solid;
  c.words += static_cast<std::size_t>(
      count_bits(solid & ~((solid << 1) | static_cast<std::uint64_t>(c.in_text_word))));
  c.in_text_word = ((solid >> (length - 1)) & 1u) != 0;
  const std::uint64_t keep_before =
      (keep << 1) | static_cast<std::uint64_t>(c.run_start != std::string_view::npos);
  // A run starts where a kept byte follows an unkept one and ends at the first unkept byte
  // after kept ones. Each end is paired with the last start before it, or with the run left
  // open by the block before.
  const std::uint64_t starts = keep & ~keep_before;
  std::uint64_t ends = ~keep & keep_before;
  while (ends != 0) {
    const auto at = static_cast<std::size_t>(std::countr_zero(ends));
    ends &= ends - 1;
    const std::uint64_t earlier = starts & ((std::uint64_t{1} << at) - 1);
    const std::size_t start =
        earlier != 0 ? pos + 63 - static_cast<std::size_t>(std::countl_zero(earlier)) : c.run_start;
    word(c.text.substr(start, pos + at - start));
  }
  if ((keep >> 63) != 0) {
    // The block ends inside a run, begun here or earlier.
    if (starts != 0) c.run_start = pos + 63 - static_cast<std::size_t>(std::countl_zero(starts));
  } else {
    c.run_start = std::string_view::npos;
  }
}

// Character by character from `pos` up to `block_end`; a character may run past it. Returns
// where reading stopped.
template <class Word>
inline std::size_t read_characters(FeedCursor& c, std::size_t pos, std::size_t block_end,
                                   const Word& word) {
  while (pos < block_end) {
    const std::size_t here = pos;
    const ByteClass cls = kByteClasses[static_cast<unsigned char>(c.text[pos])];
    bool space;
    bool keep;
    if (cls == Multibyte) {
      const char32_t cp = unicode::next_code_point(c.text, pos);
      space = unicode::is_white_space(cp);
      keep = !space && unicode::is_alphanumeric(cp);
    } else {
      ++pos;
      space = cls == Space;
      keep = cls == Keep;
    }
    if (!space && !c.in_text_word) ++c.words;
    c.in_text_word = !space;
    if (keep) {
      if (c.run_start == std::string_view::npos) c.run_start = here;
    } else if (c.run_start != std::string_view::npos) {
      word(c.text.substr(c.run_start, here - c.run_start));
      c.run_start = std::string_view::npos;
    }
  }
  return pos;
}

}  // namespace

std::size_t KeywordMatcher::feed(std::string_view text) {
  MatchState state{spanish_ ? SPANISH_KEYWORD_INDEX : KEYWORD_INDEX, previous_[0], previous_[1],
                   found_, wanted_};
  const auto word = [&state](std::string_view run) { read_word(state, run); };
  // Sixty-four bytes at a time where they are all ASCII, from bit masks of letters-and-digits and
  // of non-space bytes. A block with other bytes is read character by character. Both keep the
  // same state across blocks.
  FeedCursor cursor{text};
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n) {
    const std::size_t length = std::min<std::size_t>(64, n - pos);
    const char* block = text.data() + pos;
    unsigned read = 0;  // bytes of the block already read, to drop from its masks
    char padded[64];
    if (length < 64 && n >= 64) {
      // The last 64 bytes of the text, shifted so that those already read drop out.
      block = text.data() + n - 64;
      read = static_cast<unsigned>(64 - length);
    } else if (length < 64) {
      // NUL padding is neither kept nor counted as a word.
      std::memset(padded, 0, sizeof padded);
      std::memcpy(padded, block, length);
      block = padded;
    }
    BlockMasks masks = classify_block(block);
    masks = {masks.keep >> read, masks.solid >> read, masks.high >> read};
    if (length < 64) masks.solid &= (std::uint64_t{1} << length) - 1;
    if (masks.high == 0) {
      read_ascii_block(cursor, pos, length, masks, word);
      pos += length;
    } else {
      pos = read_characters(cursor, pos, pos + length, word);
    }
  }
  if (cursor.run_start != std::string_view::npos) word(text.substr(cursor.run_start));
  previous_[0] = state.previous;
  previous_[1] = state.before_previous;
  found_ = state.found;
  wanted_ = state.wanted;
  return cursor.words;
}

}  // namespace mdspeak
