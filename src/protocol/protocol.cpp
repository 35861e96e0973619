#include "protocol/protocol.h"

#include "common/overloaded.h"
#include "protocol/json_scanner.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <unordered_set>
#include <utility>

namespace mdspeak {
namespace {

// ---------------------------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------------------------

// Every member name any request knows. Members with other names are only checked for duplicates.
enum Field : std::uint8_t {
  kId,
  kDocumentId,
  kText,
  kStartOffset,
  kEndOffset,
  kVoiceId,
  kRate,
  kType,
  kWordEvents,
  kReading,
  kPath,
  kFormat,
  kSummary,
  kTranscript,
  kChapterLevel,
  kTranscriptWords,
  kEntries,
  kDetails,
  kFieldCount,
  kUnknownField = kFieldCount,
};

// The names of the known fields, in `Field` order.
constexpr std::string_view kFieldNames[kFieldCount] = {
    "id",      "document_id", "text",          "start_offset",     "end_offset", "voice_id",
    "rate",    "type",        "word_events",   "reading",          "path",       "format",
    "summary", "transcript",  "chapter_level", "transcript_words", "entries",    "details",
};

Field field_named(std::string_view name) {
  // Names of other lengths are passed over on the length alone.
  for (std::uint8_t f = 0; f < kFieldCount; ++f) {
    if (kFieldNames[f] == name) return static_cast<Field>(f);
  }
  return kUnknownField;
}

// One JSON value as seen at the top level of the request; nested values are not kept.
struct Value {
  enum class Kind : std::uint8_t {
    Absent,
    Null,
    Boolean,
    String,
    Unsigned,  // non-negative integer that fits 64 bits
    Negative,  // integer written with a minus sign that fits 64 bits
    Float,     // anything else: fraction, exponent or out of 64-bit range
    Compound,  // object or array
  };
  Kind kind = Kind::Absent;
  std::string text;              // string contents
  std::string_view number_text;  // the number as written (a view into the line)
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
  bool boolean_value = false;
  std::string_view raw;  // an object or array as written (a view into the line)
};

using Fields = std::array<Value, kFieldCount>;

// The C library's conversions follow the process locale; JSON numbers do not.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return locale;
}

// strtof rounds the decimal value once, gives ±inf beyond the float range and the nearest
// subnormal or zero below it.
float nearest_float(std::string_view number) {
  const std::string text(number);
  return strtof_l(text.c_str(), nullptr, c_locale());
}

Result<std::string> take_string(Value& value, std::string_view name) {
  if (value.kind == Value::Kind::String) return std::move(value.text);
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) {
    return fail(Error("missing field \"" + std::string(name) + "\""));
  }
  return fail(Error("field \"" + std::string(name) + "\" must be a string"));
}

Result<std::optional<std::string>> take_optional_string(Value& value, std::string_view name) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) {
    return std::optional<std::string>();
  }
  if (value.kind == Value::Kind::String) return std::optional<std::string>(std::move(value.text));
  return fail(Error("field \"" + std::string(name) + "\" must be a string or null"));
}

Result<std::optional<std::uint64_t>> take_offset(const Value& value, std::string_view name) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) {
    return std::optional<std::uint64_t>();
  }
  if (value.kind == Value::Kind::Unsigned) {
    return std::optional<std::uint64_t>(value.unsigned_value);
  }
  return fail(Error("field \"" + std::string(name) + "\" must be an integer from 0 to 2^64-1"));
}

Result<float> take_rate(const Value& value) {
  switch (value.kind) {
    case Value::Kind::Unsigned:
      return static_cast<float>(value.unsigned_value);
    case Value::Kind::Negative:
      // "-0" is still a minus sign on zero.
      if (value.negative_value == 0) return -0.0f;
      return static_cast<float>(value.negative_value);
    case Value::Kind::Float:
      return nearest_float(value.number_text);
    case Value::Kind::Absent:
    case Value::Kind::Null:
      return fail(Error("missing field \"rate\""));
    default:
      return fail(Error("field \"rate\" must be a number"));
  }
}

Result<std::optional<float>> take_optional_rate(const Value& value) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) {
    return std::optional<float>();
  }
  auto rate = take_rate(value);
  if (!rate) return fail(std::move(rate.error()));
  return std::optional<float>(*rate);
}

// Optional flags: absent or null is false.
Result<bool> take_flag(const Value& value, std::string_view name) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) return false;
  if (value.kind == Value::Kind::Boolean) return value.boolean_value;
  return fail(Error("field \"" + std::string(name) + "\" must be a boolean or null"));
}

// The request `T` from its fields in declared order, or the failure of the first field that has
// none.
template <class T, class... Parts>
Result<Request> assemble(Result<Parts>... parts) {
  const Error* failure = nullptr;
  ((failure == nullptr && !parts ? (failure = &parts.error()) : nullptr), ...);
  if (failure != nullptr) return fail(*failure);
  return Request(T{std::move(*parts)...});
}

// Any value but the two names is kept as unsupported, for the host to answer with an error.
Result<RequestedReading> take_reading(const Value& value) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) {
    return RequestedReading::Plain;
  }
  if (value.kind == Value::Kind::String && value.text == "plain") return RequestedReading::Plain;
  if (value.kind == Value::Kind::String && value.text == "natural") {
    return RequestedReading::Natural;
  }
  return RequestedReading::Unsupported;
}

// Extension: the pronunciation list. Each entry is an object with the strings "text" and "say"
// and an optional "language" (string or null); other members are ignored, a repeated one is a
// failure. The values are checked by the host.
Result<PronunciationEntry> read_pronunciation(json::Scanner& scanner) {
  const Error bad("each entry must be an object with the strings \"text\" and \"say\"");
  if (!scanner.consume('{')) return fail(bad);
  PronunciationEntry entry;
  bool has_text = false;
  bool has_say = false;
  bool has_language = false;
  std::string name;
  scanner.skip_white_space();
  if (!scanner.consume('}')) {
    for (;;) {
      scanner.skip_white_space();
      if (!scanner.string(&name)) return fail(bad);
      scanner.skip_white_space();
      if (!scanner.consume(':')) return fail(bad);
      scanner.skip_white_space();
      bool* seen = name == "text"       ? &has_text
                   : name == "say"      ? &has_say
                   : name == "language" ? &has_language
                                        : nullptr;
      if (seen != nullptr && *seen) return fail(Error("duplicate member \"" + name + "\""));
      if (seen != nullptr) *seen = true;
      if (name == "text" || name == "say") {
        if (scanner.peek() != '"' || !scanner.string(name == "text" ? &entry.text : &entry.say)) {
          return fail(bad);
        }
      } else if (name == "language") {
        if (scanner.peek() == '"') {
          entry.language.emplace();
          if (!scanner.string(&*entry.language)) return fail(bad);
        } else {
          bool is_null = false;
          bool ignored = false;
          if (!scanner.literal(is_null, ignored) || !is_null) {
            return fail(Error("\"language\" must be a string or null"));
          }
        }
      } else if (!scanner.skip_value()) {
        return fail(bad);
      }
      scanner.skip_white_space();
      if (scanner.consume('}')) break;
      if (!scanner.consume(',')) return fail(bad);
    }
  }
  if (!has_text || !has_say) return fail(bad);
  return entry;
}

Result<std::vector<PronunciationEntry>> take_entries(const Value& value) {
  if (value.kind != Value::Kind::Compound || !value.raw.starts_with('[')) {
    return fail(Error("field \"entries\" must be an array"));
  }
  json::Scanner scanner(value.raw);
  scanner.consume('[');
  std::vector<PronunciationEntry> entries;
  scanner.skip_white_space();
  if (scanner.consume(']')) return entries;
  for (;;) {
    scanner.skip_white_space();
    auto entry = read_pronunciation(scanner);
    if (!entry) return fail(std::move(entry.error()));
    entries.push_back(std::move(*entry));
    scanner.skip_white_space();
    if (scanner.consume(']')) return entries;
    if (!scanner.consume(',')) return fail(Error("field \"entries\" must be an array"));
  }
}

// How a request's fields are taken, one type per kind of value: `field` is the member it reads.
template <Field F>
struct String {
  static constexpr Field field = F;
  static Result<std::string> take(Value& v) { return take_string(v, kFieldNames[F]); }
};
template <Field F>
struct OptionalString {
  static constexpr Field field = F;
  static auto take(Value& v) { return take_optional_string(v, kFieldNames[F]); }
};
template <Field F>
struct Offset {
  static constexpr Field field = F;
  static auto take(Value& v) { return take_offset(v, kFieldNames[F]); }
};
template <Field F>
struct Flag {
  static constexpr Field field = F;
  static auto take(Value& v) { return take_flag(v, kFieldNames[F]); }
};
struct Rate {
  static constexpr Field field = kRate;
  static auto take(Value& v) { return take_rate(v); }
};
struct OptionalRate {
  static constexpr Field field = kRate;
  static auto take(Value& v) { return take_optional_rate(v); }
};
struct Reading {
  static constexpr Field field = kReading;
  static auto take(Value& v) { return take_reading(v); }
};
struct Entries {
  static constexpr Field field = kEntries;
  static auto take(Value& v) { return take_entries(v); }
};

// The request `T` from the fields `Parts` take, in the order of `T`'s members. This order is
// written only here: the array form reads its elements in `fields`.
template <class T, class... Parts>
struct Builder {
  static constexpr std::array<Field, sizeof...(Parts)> fields = {Parts::field...};
  static Result<Request> build(Fields& f) { return assemble<T>(Parts::take(f[Parts::field])...); }
};

struct RequestShape {
  std::string_view name;
  std::uint8_t field_count;
  std::array<Field, 12> fields;  // declared order; the array form follows it
  Result<Request> (*build)(Fields&);
  // Trailing fields the array form may leave out (extensions added after the request existed,
  // and the optional settings of a resume).
  std::uint8_t optional_tail = 0;
};

template <class B>
constexpr RequestShape shape(std::string_view name, std::uint8_t optional_tail = 0) {
  RequestShape made{
      name, static_cast<std::uint8_t>(B::fields.size()), {}, &B::build, optional_tail};
  std::ranges::copy(B::fields, made.fields.begin());
  return made;
}

// Same order as the alternatives of `Request`. Extensions: list_voices' details, the reading,
// word events, pause, resume, export and the pronunciation list.
constexpr std::array<RequestShape, 12> kShapes = {{
    shape<Builder<Init, String<kId>>>("init"),
    shape<Builder<ListVoices, String<kId>, Flag<kDetails>>>("list_voices", 1),
    shape<Builder<LoadDocument, String<kId>, String<kDocumentId>, String<kText>, Reading>>(
        "load_document", 1),
    shape<Builder<PrepareSpeech, String<kId>, String<kDocumentId>, Offset<kStartOffset>,
                  Offset<kEndOffset>>>("prepare_speech"),
    shape<Builder<PrepareSummary, String<kId>, String<kDocumentId>>>("prepare_summary"),
    shape<Builder<Speak, String<kId>, String<kDocumentId>, Offset<kStartOffset>, Offset<kEndOffset>,
                  OptionalString<kVoiceId>, Rate, Flag<kWordEvents>>>("speak", 1),
    shape<Builder<SpeakSummary, String<kId>, String<kDocumentId>, OptionalString<kVoiceId>, Rate,
                  Flag<kWordEvents>>>("speak_summary", 1),
    shape<Builder<Stop, String<kId>>>("stop"),
    shape<Builder<Pause, String<kId>>>("pause"),
    shape<Builder<Resume, String<kId>, OptionalRate, OptionalString<kVoiceId>>>("resume", 2),
    shape<Builder<Export, String<kId>, String<kDocumentId>, String<kPath>, OptionalString<kFormat>,
                  Offset<kStartOffset>, Offset<kEndOffset>, Flag<kSummary>,
                  OptionalString<kVoiceId>, OptionalRate, OptionalString<kTranscript>,
                  Offset<kChapterLevel>, Flag<kTranscriptWords>>>("export", 9),
    shape<Builder<SetPronunciations, String<kId>, Entries>>("set_pronunciations"),
}};
static_assert(kShapes.size() == std::variant_size_v<Request>);

const RequestShape* shape_named(std::string_view name) {
  for (const RequestShape& shape : kShapes) {
    if (shape.name == name) return &shape;
  }
  return nullptr;
}

// Reads one request through the scanner: the top-level members (object form) or elements
// (array form) land in their fields, everything else is checked and dropped.
class RequestDecoder {
 public:
  RequestDecoder(std::string_view line, json::DecodedAhead* ahead)
      : line_(line), scanner_(line, ahead) {}

  Result<Request> decode() {
    scanner_.skip_white_space();
    const RequestShape* shape = nullptr;
    if (scanner_.peek() == '{') {
      if (!object_form()) return failure();
      const Value& type = fields_[kType];
      if (type.kind == Value::Kind::Absent) return fail(Error("missing member \"type\""));
      if (type.kind != Value::Kind::String) return fail(Error("member \"type\" must be a string"));
      shape = shape_named(type.text);
      if (shape == nullptr) return fail(Error("unknown request type \"" + type.text + "\""));
    } else if (scanner_.peek() == '[') {
      if (!array_form(shape)) return failure();
    } else {
      return fail(Error("a request must be a JSON object or array"));
    }
    scanner_.skip_white_space();
    if (!scanner_.at_end()) return fail(Error("invalid JSON: data after the request"));
    return shape->build(fields_);
  }

 private:
  Result<Request> failure() const {
    return fail(Error(error_.empty() ? std::string("invalid JSON") : error_));
  }

  bool refuse(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  // The value at the scanner goes to `slot`, or is checked and dropped when `slot` is null.
  bool value(Value* slot) {
    scanner_.skip_white_space();
    if (slot == nullptr) return scanner_.skip_value();
    switch (scanner_.peek()) {
      case '"':
        slot->kind = Value::Kind::String;
        return scanner_.string(&slot->text);
      case '{':
      case '[': {
        slot->kind = Value::Kind::Compound;
        const char* start = scanner_.position();
        if (!scanner_.skip_value()) return false;
        slot->raw = std::string_view(start, static_cast<std::size_t>(scanner_.position() - start));
        return true;
      }
      case 't':
      case 'f':
      case 'n': {
        bool is_null = false;
        if (!scanner_.literal(is_null, slot->boolean_value)) return false;
        slot->kind = is_null ? Value::Kind::Null : Value::Kind::Boolean;
        return true;
      }
      default: {
        json::Number number;
        if (!scanner_.number(number)) return false;
        slot->number_text = number.text;
        slot->unsigned_value = number.unsigned_value;
        slot->negative_value = number.negative_value;
        switch (number.kind) {
          case json::Number::Kind::Unsigned:
            slot->kind = Value::Kind::Unsigned;
            break;
          case json::Number::Kind::Negative:
            slot->kind = Value::Kind::Negative;
            break;
          case json::Number::Kind::Other:
            slot->kind = Value::Kind::Float;
            break;
        }
        return true;
      }
    }
  }

  bool object_form() {
    scanner_.consume('{');
    scanner_.skip_white_space();
    if (scanner_.consume('}')) return true;
    std::string name;
    for (;;) {
      scanner_.skip_white_space();
      if (!scanner_.string(&name)) return false;
      scanner_.skip_white_space();
      if (!scanner_.consume(':')) return false;
      Value* slot = nullptr;
      const Field field = field_named(name);
      if (field == kUnknownField) {
        other_name_hashes_.push_back(std::hash<std::string_view>()(name));
      } else {
        if (fields_[field].kind != Value::Kind::Absent) {
          return refuse("duplicate member \"" + name + "\"");
        }
        slot = &fields_[field];
      }
      if (!value(slot)) return false;
      scanner_.skip_white_space();
      if (scanner_.consume('}')) return other_names_distinct();
      if (!scanner_.consume(',')) return false;
    }
  }

  // Members with names no request knows are only checked for duplicates. Their names are kept
  // as hashes (a line of millions of short members must not cost many times its size); names
  // whose hashes meet are read again from the line and compared.
  bool other_names_distinct() {
    std::sort(other_name_hashes_.begin(), other_name_hashes_.end());
    std::vector<std::uint64_t> met;
    for (std::size_t i = 1; i < other_name_hashes_.size(); ++i) {
      if (other_name_hashes_[i] == other_name_hashes_[i - 1] &&
          (met.empty() || met.back() != other_name_hashes_[i])) {
        met.push_back(other_name_hashes_[i]);
      }
    }
    if (met.empty()) return true;
    // The line has parsed as far as here, so a second reading of its members cannot fail.
    json::Scanner again(line_);
    again.skip_white_space();
    again.consume('{');
    std::unordered_set<std::string> seen;
    std::string name;
    do {
      again.skip_white_space();
      again.string(&name);
      again.skip_white_space();
      again.consume(':');
      const std::uint64_t hash = std::hash<std::string_view>()(name);
      if (field_named(name) == kUnknownField && std::binary_search(met.begin(), met.end(), hash) &&
          !seen.insert(name).second) {
        return refuse("duplicate member \"" + name + "\"");
      }
      again.skip_value();
      again.skip_white_space();
    } while (again.consume(','));
    return true;
  }

  // Array form: the type name first, then the fields in declared order.
  bool array_form(const RequestShape*& shape) {
    scanner_.consume('[');
    scanner_.skip_white_space();
    if (scanner_.consume(']')) return refuse("an empty array is not a request");
    Value& type = fields_[kType];
    if (!value(&type)) return false;
    if (type.kind != Value::Kind::String) {
      return refuse("the first element must name the request type");
    }
    shape = shape_named(type.text);
    if (shape == nullptr) return refuse("unknown request type \"" + type.text + "\"");
    std::size_t position = 0;
    for (;;) {
      scanner_.skip_white_space();
      if (scanner_.consume(']')) break;
      if (!scanner_.consume(',')) return false;
      if (++position > shape->field_count) return refuse("too many elements for the request type");
      if (!value(&fields_[shape->fields[position - 1]])) return false;
    }
    if (position + shape->optional_tail < shape->field_count) {
      return refuse("too few elements for the request type");
    }
    return true;
  }

  std::string_view line_;
  json::Scanner scanner_;
  Fields fields_;
  std::vector<std::uint64_t> other_name_hashes_;
  std::string error_;
};

// ---------------------------------------------------------------------------------------------
// Encoding
// ---------------------------------------------------------------------------------------------

// For each byte: 0 when written as it is, otherwise the letter after the backslash ('u' for the
// \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

class Writer {
 public:
  explicit Writer(std::string& out) : out_(out) {}

  void raw(std::string_view text) { out_.append(text); }

  void string(std::string_view text) {
    out_ += '"';
    const char* run = text.data();
    const char* const end = text.data() + text.size();
    const char* p = run;
    while (p != end) {
#if defined(__SSE2__)
      // Clean blocks of sixteen bytes are skipped whole; the copy happens by runs below.
      const __m128i quote = _mm_set1_epi8('"');
      const __m128i backslash = _mm_set1_epi8('\\');
      const __m128i last_control = _mm_set1_epi8(0x1F);
      while (end - p >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i control =
            _mm_cmpeq_epi8(_mm_subs_epu8(block, last_control), _mm_setzero_si128());
        const int mask = _mm_movemask_epi8(_mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)), control));
        if (mask != 0) {
          p += std::countr_zero(static_cast<unsigned>(mask));
          break;
        }
        p += 16;
      }
      if (p == end) break;
#endif
      const char escape = kEscape[static_cast<unsigned char>(*p)];
      if (escape == 0) {
        ++p;
        continue;
      }
      out_.append(run, static_cast<std::size_t>(p - run));
      if (escape == 'u') {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(*p);
        const char sequence[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
        out_.append(sequence, sizeof sequence);
      } else {
        const char sequence[2] = {'\\', escape};
        out_.append(sequence, sizeof sequence);
      }
      run = ++p;
    }
    out_.append(run, static_cast<std::size_t>(end - run));
    out_ += '"';
  }

  void optional_string(const std::optional<std::string>& text) {
    if (text) {
      string(*text);
    } else {
      out_.append("null");
    }
  }

  void integer(std::uint64_t number) {
    char digits[20];
    const auto result = std::to_chars(digits, digits + sizeof digits, number);
    out_.append(digits, result.ptr);
  }

  void boolean(bool value) {
    out_.append(value ? "true" : "false");
  }

  // A member: `name` is its text up to the value (`,"queued":`), then the value.
  void member(std::string_view name, std::string_view text) {
    raw(name);
    string(text);
  }
  void member(std::string_view name, const std::string& text) {
    raw(name);
    string(text);
  }
  void member(std::string_view name, const std::optional<std::string>& text) {
    raw(name);
    optional_string(text);
  }
  void member(std::string_view name, std::uint64_t number) {
    raw(name);
    integer(number);
  }
  void member(std::string_view name, bool value) {
    raw(name);
    boolean(value);
  }

 private:
  std::string& out_;
};

std::string_view kind_name(PreparedUtteranceKind kind) {
  switch (kind) {
    case PreparedUtteranceKind::Heading:
      return "heading";
    case PreparedUtteranceKind::Paragraph:
      return "paragraph";
    case PreparedUtteranceKind::Item:
      return "item";
    case PreparedUtteranceKind::BlockQuote:
      return "block_quote";
    case PreparedUtteranceKind::TableRow:
      return "table_row";
    case PreparedUtteranceKind::CodeBlock:
      return "code_block";
  }
  return "paragraph";
}

// `[{...},{...}]`: one object per item, its members written by `members`.
template <class T, class F>
void write_objects(Writer& w, const std::vector<T>& items, const F& members) {
  const char* open = "[{";
  for (const T& item : items) {
    w.raw(open);
    open = ",{";
    members(item);
    w.raw("}");
  }
  w.raw(items.empty() ? "[]" : "]");
}

void write_utterances(Writer& w, std::string& out, const std::vector<PreparedUtterance>& list) {
  // Room for every text unescaped plus the fixed parts, so a large answer grows once.
  std::size_t estimate = 2;
  for (const PreparedUtterance& u : list) estimate += u.text.size() + 128;
  out.reserve(out.size() + estimate);

  write_objects(w, list, [&w](const PreparedUtterance& u) {
    w.member("\"utterance_index\":", u.utterance_index);
    w.member(",\"text\":", u.text);
    w.member(",\"start_offset\":", u.start_offset);
    w.member(",\"end_offset\":", u.end_offset);
    w.raw(",\"kind\":\"");
    w.raw(kind_name(u.kind));
    w.raw("\"");
    if (u.with_language) {
      if (u.language_code) {
        w.member(",\"language_code\":", *u.language_code);
      } else {
        w.raw(",\"language_code\":null");
      }
    }
  });
}

template <class Prepared>
void write_prepared(Writer& w, std::string& out, std::string_view type, const Prepared& m) {
  w.raw(type);
  w.member(",\"id\":", m.id);
  w.member(",\"document_id\":", m.document_id);
  w.member(",\"language_code\":", m.language_code);
  w.raw(",\"utterances\":");
  write_utterances(w, out, m.utterances);
}

// An answer that counts what one document got: its id, the document's and the count.
void write_counted(Writer& w, std::string_view type, const std::string& id,
                   const std::string& document_id, std::string_view count_name,
                   std::uint64_t count) {
  w.member(type, id);
  w.member(",\"document_id\":", document_id);
  w.member(count_name, count);
}

void write_progress(Writer& w, std::string_view type, const UtteranceProgress& m) {
  w.raw(type);
  w.member(",\"document_id\":", m.document_id);
  w.member(",\"utterance_index\":", m.utterance_index);
  w.member(",\"start_offset\":", m.start_offset);
  w.member(",\"end_offset\":", m.end_offset);
  w.member(",\"text\":", m.text);
}

void write_word(Writer& w, const UtteranceWord& m) {
  w.member("\"utterance_word\",\"document_id\":", m.document_id);
  w.member(",\"utterance_index\":", m.utterance_index);
  w.member(",\"start_offset\":", m.start_offset);
  w.member(",\"end_offset\":", m.end_offset);
  w.member(",\"text_start\":", m.text_start);
  w.member(",\"text_end\":", m.text_end);
  w.member(",\"text\":", m.text);
  if (m.estimated) w.raw(",\"estimated\":true");
}

}  // namespace

Result<Request> decode_request(std::string_view line, json::DecodedAhead* ahead) {
  return RequestDecoder(line, ahead).decode();
}

namespace {

void write_voices(Writer& w, const ListVoicesResult& m) {
  w.member("\"list_voices_result\",\"id\":", m.id);
  w.raw(",\"voices\":");
  write_objects(w, m.voices, [&w](const VoiceInfo& voice) {
    w.member("\"id\":", voice.id);
    w.member(",\"name\":", voice.name);
    w.member(",\"locale\":", voice.locale);
    w.member(",\"gender\":", voice.gender);
    if (voice.details) {
      w.member(",\"engine\":", voice.details->engine);
      w.member(",\"word_timing\":", voice.details->word_timing);
    }
  });
}

void write_export_result(Writer& w, const ExportResult& m) {
  w.member("\"export_result\",\"id\":", m.id);
  w.member(",\"path\":", m.path);
  w.member(",\"format\":", m.format);
  w.member(",\"transcript\":", m.transcript);
  w.member(",\"duration_ms\":", m.duration_ms);
  w.member(",\"chapters\":", m.chapters);
  w.member(",\"words\":", m.words);
  w.member(",\"cancelled\":", m.cancelled);
}

}  // namespace

void encode_message(const Message& message, std::string& out) {
  Writer w(out);
  w.raw("{\"type\":");
  std::visit(Overloaded{
                 [&](const InitResult& m) {
                   w.member("\"init_result\",\"id\":", m.id);
                   w.member(",\"available\":", m.available);
                   w.member(",\"backend\":", m.backend);
                   w.member(",\"message\":", m.message);
                 },
                 [&](const ListVoicesResult& m) { write_voices(w, m); },
                 [&](const LoadDocumentResult& m) {
                   write_counted(w, "\"load_document_result\",\"id\":", m.id, m.document_id,
                                 ",\"utterance_count\":", m.utterance_count);
                 },
                 [&](const PrepareSpeechResult& m) {
                   write_prepared(w, out, "\"prepare_speech_result\"", m);
                 },
                 [&](const PrepareSummaryResult& m) {
                   write_prepared(w, out, "\"prepare_summary_result\"", m);
                 },
                 [&](const SpeakResult& m) {
                   write_counted(w, "\"speak_result\",\"id\":", m.id, m.document_id,
                                 ",\"queued\":", m.queued);
                 },
                 [&](const StopResult& m) { w.member("\"stop_result\",\"id\":", m.id); },
                 [&](const ErrorResult& m) {
                   w.member("\"error_result\",\"id\":", m.id);
                   w.member(",\"code\":", m.code);
                   w.member(",\"message\":", m.message);
                 },
                 [&](const UtteranceBegin& m) {
                   write_progress(w, "\"utterance_begin\"", m);
                   if (m.with_voice) {
                     w.member(",\"language_code\":", m.language_code);
                     w.member(",\"voice_id\":", m.voice_id);
                   }
                 },
                 [&](const UtteranceEnd& m) { write_progress(w, "\"utterance_end\"", m); },
                 [&](const UtteranceWord& m) { write_word(w, m); },
                 [&](const UtteranceFailed& m) {
                   write_progress(w, "\"utterance_failed\"", m);
                   w.member(",\"reason\":", m.reason);
                 },
                 [&](const PauseResult& m) {
                   w.member("\"pause_result\",\"id\":", m.id);
                   w.member(",\"paused\":", m.paused);
                 },
                 [&](const ResumeResult& m) {
                   w.member("\"resume_result\",\"id\":", m.id);
                   w.member(",\"resumed\":", m.resumed);
                   w.member(",\"queued\":", m.queued);
                 },
                 [&](const ExportProgress& m) {
                   w.member("\"export_progress\",\"id\":", m.id);
                   w.member(",\"done\":", m.done);
                   w.member(",\"total\":", m.total);
                   w.member(",\"audio_ms\":", m.audio_ms);
                 },
                 [&](const ExportResult& m) { write_export_result(w, m); },
                 [&](const BackendUnavailable& m) {
                   w.member("\"backend_unavailable\",\"message\":", m.message);
                 },
                 [&](const SetPronunciationsResult& m) {
                   w.member("\"set_pronunciations_result\",\"id\":", m.id);
                   w.member(",\"count\":", m.count);
                 },
             },
             message);
  w.raw("}");
}

}  // namespace mdspeak
