#include "protocol/protocol.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <exception>
#include <nlohmann/json.hpp>
#include <type_traits>
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
  kFieldCount,
  kUnknownField = kFieldCount,
};

Field field_named(std::string_view name) {
  switch (name.size()) {
    case 2:
      if (name == "id") return kId;
      break;
    case 4:
      if (name == "text") return kText;
      if (name == "rate") return kRate;
      if (name == "type") return kType;
      break;
    case 8:
      if (name == "voice_id") return kVoiceId;
      break;
    case 10:
      if (name == "end_offset") return kEndOffset;
      break;
    case 11:
      if (name == "document_id") return kDocumentId;
      if (name == "word_events") return kWordEvents;
      break;
    case 12:
      if (name == "start_offset") return kStartOffset;
      break;
    default:
      break;
  }
  return kUnknownField;
}

struct RequestShape {
  std::string_view name;
  std::uint8_t field_count;
  std::array<Field, 7> fields;  // declared order; the array form follows it
  // Trailing fields the array form may leave out (extensions added after the request existed).
  std::uint8_t optional_tail = 0;
};

// Same order as the alternatives of `Request`.
constexpr std::array<RequestShape, 10> kShapes = {{
    {"init", 1, {kId}},
    {"list_voices", 1, {kId}},
    {"load_document", 3, {kId, kDocumentId, kText}},
    {"prepare_speech", 4, {kId, kDocumentId, kStartOffset, kEndOffset}},
    {"prepare_summary", 2, {kId, kDocumentId}},
    {"speak", 7, {kId, kDocumentId, kStartOffset, kEndOffset, kVoiceId, kRate, kWordEvents}, 1},
    {"speak_summary", 5, {kId, kDocumentId, kVoiceId, kRate, kWordEvents}, 1},
    {"stop", 1, {kId}},
    {"pause", 1, {kId}},
    {"resume", 3, {kId, kRate, kVoiceId}},
}};
static_assert(kShapes.size() == std::variant_size_v<Request>);
constexpr int kPauseShape = 8;
constexpr int kResumeShape = 9;
static_assert(std::is_same_v<std::variant_alternative_t<kPauseShape, Request>, Pause>);
static_assert(std::is_same_v<std::variant_alternative_t<kResumeShape, Request>, Resume>);

int shape_named(std::string_view name) {
  for (std::size_t i = 0; i < kShapes.size(); ++i) {
    if (kShapes[i].name == name) return static_cast<int>(i);
  }
  return -1;
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
    Float,     // anything else: fraction, exponent or out of 64-bit range; raw text kept
    Compound,  // object or array
  };
  Kind kind = Kind::Absent;
  std::string text;  // string contents, or the raw number text for Float
  std::uint64_t unsigned_value = 0;
  std::int64_t negative_value = 0;
};

using Fields = std::array<Value, kFieldCount>;

// JSON numbers are locale-free; the C library's conversions are not. nlohmann writes the
// locale's decimal point into the raw text it hands out, so any character that cannot occur in
// a JSON number is taken back to '.'.
float nearest_float(std::string text) {
  for (char& c : text) {
    const bool number_char = (c >= '0' && c <= '9') || c == '-' || c == '+' || c == 'e' || c == 'E';
    if (!number_char) c = '.';
  }
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  // strtof rounds the decimal value once, gives ±inf beyond the float range and the nearest
  // subnormal or zero below it.
  return strtof_l(text.c_str(), nullptr, c_locale);
}

double nearest_double(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return strtod_l(text.c_str(), nullptr, c_locale);
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

Result<float> take_rate(Value& value) {
  switch (value.kind) {
    case Value::Kind::Unsigned:
      return static_cast<float>(value.unsigned_value);
    case Value::Kind::Negative:
      // "-0" is still a minus sign on zero.
      if (value.negative_value == 0) return -0.0f;
      return static_cast<float>(value.negative_value);
    case Value::Kind::Float:
      return nearest_float(std::move(value.text));
    case Value::Kind::Absent:
    case Value::Kind::Null:
      return fail(Error("missing field \"rate\""));
    default:
      return fail(Error("field \"rate\" must be a number"));
  }
}

// Optional flags: absent or null is false.
Result<bool> take_flag(const Value& value, std::string_view name) {
  if (value.kind == Value::Kind::Absent || value.kind == Value::Kind::Null) return false;
  if (value.kind == Value::Kind::Boolean) return value.unsigned_value != 0;
  return fail(Error("field \"" + std::string(name) + "\" must be a boolean or null"));
}

// The requests added as protocol extensions: pause and resume.
Result<Request> build_extension_request(int shape, std::string id, Fields& f) {
  if (shape == kPauseShape) return Request(Pause{std::move(id)});
  std::optional<float> rate;
  if (f[kRate].kind != Value::Kind::Absent && f[kRate].kind != Value::Kind::Null) {
    auto taken = take_rate(f[kRate]);
    if (!taken) return fail(std::move(taken.error()));
    rate = *taken;
  }
  auto voice = take_optional_string(f[kVoiceId], "voice_id");
  if (!voice) return fail(std::move(voice.error()));
  return Request(Resume{std::move(id), rate, std::move(*voice)});
}

// Builds the request of shape `shape` from its gathered fields.
Result<Request> build_request(int shape, Fields& f) {
  auto id = take_string(f[kId], "id");
  if (!id) return fail(std::move(id.error()));
  switch (shape) {
    case 0:
      return Request(Init{std::move(*id)});
    case 1:
      return Request(ListVoices{std::move(*id)});
    case 7:
      return Request(Stop{std::move(*id)});
    case kPauseShape:
    case kResumeShape:
      return build_extension_request(shape, std::move(*id), f);
    default:
      break;
  }
  auto document_id = take_string(f[kDocumentId], "document_id");
  if (!document_id) return fail(std::move(document_id.error()));
  switch (shape) {
    case 2: {
      auto text = take_string(f[kText], "text");
      if (!text) return fail(std::move(text.error()));
      return Request(LoadDocument{std::move(*id), std::move(*document_id), std::move(*text)});
    }
    case 3: {
      auto start = take_offset(f[kStartOffset], "start_offset");
      if (!start) return fail(std::move(start.error()));
      auto end = take_offset(f[kEndOffset], "end_offset");
      if (!end) return fail(std::move(end.error()));
      return Request(PrepareSpeech{std::move(*id), std::move(*document_id), *start, *end});
    }
    case 4:
      return Request(PrepareSummary{std::move(*id), std::move(*document_id)});
    case 5: {
      auto start = take_offset(f[kStartOffset], "start_offset");
      if (!start) return fail(std::move(start.error()));
      auto end = take_offset(f[kEndOffset], "end_offset");
      if (!end) return fail(std::move(end.error()));
      auto voice = take_optional_string(f[kVoiceId], "voice_id");
      if (!voice) return fail(std::move(voice.error()));
      auto rate = take_rate(f[kRate]);
      if (!rate) return fail(std::move(rate.error()));
      auto words = take_flag(f[kWordEvents], "word_events");
      if (!words) return fail(std::move(words.error()));
      return Request(Speak{std::move(*id), std::move(*document_id), *start, *end, std::move(*voice),
                           *rate, *words});
    }
    case 6: {
      auto voice = take_optional_string(f[kVoiceId], "voice_id");
      if (!voice) return fail(std::move(voice.error()));
      auto rate = take_rate(f[kRate]);
      if (!rate) return fail(std::move(rate.error()));
      auto words = take_flag(f[kWordEvents], "word_events");
      if (!words) return fail(std::move(words.error()));
      return Request(
          SpeakSummary{std::move(*id), std::move(*document_id), std::move(*voice), *rate, *words});
    }
    default:
      return fail(Error("unknown request type"));
  }
}

using Json = nlohmann::json;

// Gathers the top-level members (object form) or elements (array form) of one request. The
// object form may name its type last, so fields are kept until the closing brace. Values nested
// inside members are only counted through, never stored.
class RequestHandler {
 public:
  // Numbers beyond the double range, by their ordinal among all numbers of the line, with their
  // original text (see `decode_request`).
  using Overflows = std::vector<std::pair<std::size_t, std::string>>;

  explicit RequestHandler(const Overflows* overflows) : overflows_(overflows) {}

  // --- nlohmann SAX interface ---
  bool null() {
    return scalar([](Value& v) { v.kind = Value::Kind::Null; });
  }
  bool boolean(bool flag) {
    return scalar([flag](Value& v) {
      v.kind = Value::Kind::Boolean;
      v.unsigned_value = flag ? 1 : 0;
    });
  }
  bool number_integer(Json::number_integer_t number) {
    if (const std::string* original = overflowed()) return float_number(*original);
    return scalar([number](Value& v) {
      v.kind = Value::Kind::Negative;
      v.negative_value = number;
    });
  }
  bool number_unsigned(Json::number_unsigned_t number) {
    if (const std::string* original = overflowed()) return float_number(*original);
    return scalar([number](Value& v) {
      v.kind = Value::Kind::Unsigned;
      v.unsigned_value = number;
    });
  }
  bool number_float(Json::number_float_t, const std::string& raw) {
    if (const std::string* original = overflowed()) return float_number(*original);
    return float_number(raw);
  }
  bool string(std::string& text) {
    return scalar([&text](Value& v) {
      v.kind = Value::Kind::String;
      // The lexer clears its buffer before the next token, so the text can be taken over.
      v.text = std::move(text);
    });
  }
  bool binary(Json::binary_t&) { return refuse("binary values are not JSON"); }

  bool start_object(std::size_t) { return open(false); }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(true); }
  bool end_array() { return close(); }

  bool key(std::string& name) {
    if (depth_ != 1) return true;  // inside an ignored value
    const Field field = field_named(name);
    if (field == kUnknownField) {
      if (!other_names_.insert(name).second) return refuse("duplicate member \"" + name + "\"");
      target_ = nullptr;
      return true;
    }
    if (fields_[field].kind != Value::Kind::Absent) {
      return refuse("duplicate member \"" + name + "\"");
    }
    target_ = &fields_[field];
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    number_overflow_ = e.id == 406;
    if (error_.empty()) error_ = e.what();
    return false;
  }

  // --- results ---
  bool number_overflow() const { return number_overflow_; }
  const std::string& error() const { return error_; }
  Result<Request> take_request() {
    if (!request_) return fail(Error(error_.empty() ? "incomplete request" : error_));
    return std::move(*request_);
  }

 private:
  const std::string* overflowed() {
    const std::size_t ordinal = numbers_seen_++;
    if (overflows_ == nullptr || next_overflow_ >= overflows_->size()) return nullptr;
    const auto& [at, text] = (*overflows_)[next_overflow_];
    if (at != ordinal) return nullptr;
    ++next_overflow_;
    return &text;
  }

  bool float_number(const std::string& raw) {
    return scalar([&raw](Value& v) {
      v.kind = Value::Kind::Float;
      v.text = raw;
    });
  }

  bool refuse(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  // The slot a top-level value goes to, or null when it is to be ignored; fails when the value
  // cannot belong to the request.
  bool slot(Value*& out) {
    out = nullptr;
    if (depth_ == 0) return refuse("a request must be a JSON object or array");
    if (depth_ > 1) return true;
    if (!in_array_) {
      out = target_;
      target_ = nullptr;
      return true;
    }
    // Array form: the type name first, then the fields in declared order.
    const std::size_t position = elements_++;
    if (position == 0) {
      out = &fields_[kType];
      return true;
    }
    if (shape_ < 0) return refuse("the first element must name the request type");
    const RequestShape& shape = kShapes[static_cast<std::size_t>(shape_)];
    if (position > shape.field_count) return refuse("too many elements for the request type");
    out = &fields_[shape.fields[position - 1]];
    return true;
  }

  template <class Fill>
  bool scalar(Fill fill) {
    Value* value = nullptr;
    if (!slot(value)) return false;
    if (value == nullptr) return true;
    fill(*value);
    if (in_array_ && value == &fields_[kType]) return check_array_type();
    return true;
  }

  bool check_array_type() {
    if (fields_[kType].kind != Value::Kind::String) {
      return refuse("the first element must name the request type");
    }
    shape_ = shape_named(fields_[kType].text);
    if (shape_ < 0) return refuse("unknown request type \"" + fields_[kType].text + "\"");
    return true;
  }

  bool open(bool array) {
    if (depth_ == 0) {
      in_array_ = array;
      depth_ = 1;
      return true;
    }
    Value* value = nullptr;
    if (!slot(value)) return false;
    if (value != nullptr) {
      value->kind = Value::Kind::Compound;
      if (in_array_ && value == &fields_[kType]) return check_array_type();
    }
    ++depth_;
    return true;
  }

  bool close() {
    if (--depth_ > 0) return true;
    return finish();
  }

  bool finish() {
    if (in_array_) {
      if (elements_ == 0) return refuse("an empty array is not a request");
      const RequestShape& shape = kShapes[static_cast<std::size_t>(shape_)];
      const std::size_t full = std::size_t{1} + shape.field_count;
      if (elements_ > full || elements_ < full - shape.optional_tail) {
        return refuse("too few elements for the request type");
      }
    } else {
      const Value& type = fields_[kType];
      if (type.kind == Value::Kind::Absent) return refuse("missing member \"type\"");
      if (type.kind != Value::Kind::String) return refuse("member \"type\" must be a string");
      shape_ = shape_named(type.text);
      if (shape_ < 0) return refuse("unknown request type \"" + type.text + "\"");
    }
    auto request = build_request(shape_, fields_);
    if (!request) return refuse(request.error().message);
    request_.emplace(std::move(*request));
    return true;
  }

  const Overflows* overflows_;
  std::size_t next_overflow_ = 0;
  std::size_t numbers_seen_ = 0;

  int depth_ = 0;  // 1 inside the request itself
  bool in_array_ = false;
  std::size_t elements_ = 0;  // array form
  int shape_ = -1;
  Fields fields_;
  Value* target_ = nullptr;  // object form: where the value of the last key goes
  std::unordered_set<std::string> other_names_;
  std::optional<Request> request_;

  bool number_overflow_ = false;
  std::string error_;
};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Length of the JSON number at the start of `text`, or 0 when it does not start with one.
std::size_t json_number_length(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && text[i] == '-') ++i;
  if (i >= n || !is_digit(text[i])) return 0;
  if (text[i] == '0') {
    ++i;
  } else {
    while (i < n && is_digit(text[i])) ++i;
  }
  if (i < n && text[i] == '.') {
    ++i;
    if (i >= n || !is_digit(text[i])) return 0;
    while (i < n && is_digit(text[i])) ++i;
  }
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    if (i >= n || !is_digit(text[i])) return 0;
    while (i < n && is_digit(text[i])) ++i;
  }
  return i;
}

bool number_run_char(char c) {
  return is_digit(c) || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// nlohmann refuses numbers beyond the double range, yet a member whose value does not matter
// may hold one and a rate may be one (it becomes an infinity). This rewrites every such number
// outside strings as 0 and remembers its text by its ordinal among the line's numbers, so that a
// second parse can put it back. Text that is not a well-formed number is copied as it is: the
// parse fails on it either way.
std::string patch_overflowing_numbers(std::string_view line, RequestHandler::Overflows& overflows) {
  std::string patched;
  patched.reserve(line.size());
  std::size_t ordinal = 0;
  std::size_t i = 0;
  const std::size_t n = line.size();
  while (i < n) {
    const char c = line[i];
    if (c == '"') {
      std::size_t j = i + 1;
      while (j < n && line[j] != '"') j += line[j] == '\\' ? 2 : 1;
      j = std::min(j + 1, n);
      patched.append(line.substr(i, j - i));
      i = j;
    } else if (c == '-' || is_digit(c)) {
      std::size_t j = i;
      while (j < n && number_run_char(line[j])) ++j;
      const std::string_view run = line.substr(i, j - i);
      if (json_number_length(run) == run.size()) {
        std::string text(run);
        if (std::isinf(nearest_double(text))) {
          overflows.emplace_back(ordinal, std::move(text));
          patched += '0';
        } else {
          patched.append(run);
        }
        ++ordinal;
      } else {
        patched.append(run);
      }
      i = j;
    } else {
      patched += c;
      ++i;
    }
  }
  return patched;
}

Result<Request> parse(std::string_view line, const RequestHandler::Overflows* overflows,
                      bool& number_overflow) {
  RequestHandler handler(overflows);
  const bool ok = Json::sax_parse(line.begin(), line.end(), &handler, Json::input_format_t::json,
                                  /*strict=*/true, /*ignore_comments=*/false);
  number_overflow = handler.number_overflow();
  if (!ok) return fail(Error(handler.error().empty() ? "invalid JSON" : handler.error()));
  return handler.take_request();
}

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
    for (const char* p = run; p != end; ++p) {
      const char escape = kEscape[static_cast<unsigned char>(*p)];
      if (escape == 0) continue;
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
      run = p + 1;
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

  void boolean(bool value) { out_.append(value ? "true" : "false"); }

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
  }
  return "paragraph";
}

void write_utterances(Writer& w, std::string& out, const std::vector<PreparedUtterance>& list) {
  // Room for every text unescaped plus the fixed parts, so a large answer grows once.
  std::size_t estimate = 2;
  for (const PreparedUtterance& u : list) estimate += u.text.size() + 128;
  out.reserve(out.size() + estimate);

  w.raw("[");
  bool first = true;
  for (const PreparedUtterance& u : list) {
    w.raw(first ? "{\"utterance_index\":" : ",{\"utterance_index\":");
    first = false;
    w.integer(u.utterance_index);
    w.raw(",\"text\":");
    w.string(u.text);
    w.raw(",\"start_offset\":");
    w.integer(u.start_offset);
    w.raw(",\"end_offset\":");
    w.integer(u.end_offset);
    w.raw(",\"kind\":\"");
    w.raw(kind_name(u.kind));
    w.raw("\"}");
  }
  w.raw("]");
}

template <class Prepared>
void write_prepared(Writer& w, std::string& out, std::string_view type, const Prepared& m) {
  w.raw(type);
  w.raw(",\"id\":");
  w.string(m.id);
  w.raw(",\"document_id\":");
  w.string(m.document_id);
  w.raw(",\"language_code\":");
  w.optional_string(m.language_code);
  w.raw(",\"utterances\":");
  write_utterances(w, out, m.utterances);
}

template <class Progress>
void write_progress(Writer& w, std::string_view type, const Progress& m) {
  w.raw(type);
  w.raw(",\"document_id\":");
  w.string(m.document_id);
  w.raw(",\"utterance_index\":");
  w.integer(m.utterance_index);
  w.raw(",\"start_offset\":");
  w.integer(m.start_offset);
  w.raw(",\"end_offset\":");
  w.integer(m.end_offset);
  w.raw(",\"text\":");
  w.string(m.text);
}

void write_word(Writer& w, const UtteranceWord& m) {
  w.raw("\"utterance_word\",\"document_id\":");
  w.string(m.document_id);
  w.raw(",\"utterance_index\":");
  w.integer(m.utterance_index);
  w.raw(",\"start_offset\":");
  w.integer(m.start_offset);
  w.raw(",\"end_offset\":");
  w.integer(m.end_offset);
  w.raw(",\"text_start\":");
  w.integer(m.text_start);
  w.raw(",\"text_end\":");
  w.integer(m.text_end);
  w.raw(",\"text\":");
  w.string(m.text);
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

Result<Request> decode_request(std::string_view line) {
  // nlohmann skips a byte order mark; on the wire it is not part of any JSON value.
  if (line.starts_with("\xEF\xBB\xBF")) return fail(Error("a byte order mark is not JSON"));
  try {
    bool number_overflow = false;
    auto request = parse(line, nullptr, number_overflow);
    if (request || !number_overflow) return request;
    RequestHandler::Overflows overflows;
    const std::string patched = patch_overflowing_numbers(line, overflows);
    return parse(patched, &overflows, number_overflow);
  } catch (const std::exception& e) {
    return fail(Error("failed to decode request", Error(e.what())));
  }
}

void encode_message(const Message& message, std::string& out) {
  Writer w(out);
  w.raw("{\"type\":");
  std::visit(Overloaded{
                 [&](const InitResult& m) {
                   w.raw("\"init_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"available\":");
                   w.boolean(m.available);
                   w.raw(",\"backend\":");
                   w.string(m.backend);
                   w.raw(",\"message\":");
                   w.optional_string(m.message);
                 },
                 [&](const ListVoicesResult& m) {
                   w.raw("\"list_voices_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"voices\":[");
                   bool first = true;
                   for (const VoiceInfo& voice : m.voices) {
                     w.raw(first ? "{\"id\":" : ",{\"id\":");
                     first = false;
                     w.string(voice.id);
                     w.raw(",\"name\":");
                     w.string(voice.name);
                     w.raw(",\"locale\":");
                     w.optional_string(voice.locale);
                     w.raw(",\"gender\":");
                     w.optional_string(voice.gender);
                     w.raw("}");
                   }
                   w.raw("]");
                 },
                 [&](const LoadDocumentResult& m) {
                   w.raw("\"load_document_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"document_id\":");
                   w.string(m.document_id);
                   w.raw(",\"utterance_count\":");
                   w.integer(m.utterance_count);
                 },
                 [&](const PrepareSpeechResult& m) {
                   write_prepared(w, out, "\"prepare_speech_result\"", m);
                 },
                 [&](const PrepareSummaryResult& m) {
                   write_prepared(w, out, "\"prepare_summary_result\"", m);
                 },
                 [&](const SpeakResult& m) {
                   w.raw("\"speak_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"document_id\":");
                   w.string(m.document_id);
                   w.raw(",\"queued\":");
                   w.integer(m.queued);
                 },
                 [&](const StopResult& m) {
                   w.raw("\"stop_result\",\"id\":");
                   w.string(m.id);
                 },
                 [&](const ErrorResult& m) {
                   w.raw("\"error_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"code\":");
                   w.string(m.code);
                   w.raw(",\"message\":");
                   w.string(m.message);
                 },
                 [&](const UtteranceBegin& m) { write_progress(w, "\"utterance_begin\"", m); },
                 [&](const UtteranceEnd& m) { write_progress(w, "\"utterance_end\"", m); },
                 [&](const BackendUnavailable& m) {
                   w.raw("\"backend_unavailable\",\"message\":");
                   w.string(m.message);
                 },
                 [&](const UtteranceWord& m) { write_word(w, m); },
                 [&](const PauseResult& m) {
                   w.raw("\"pause_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"paused\":");
                   w.boolean(m.paused);
                 },
                 [&](const ResumeResult& m) {
                   w.raw("\"resume_result\",\"id\":");
                   w.string(m.id);
                   w.raw(",\"resumed\":");
                   w.boolean(m.resumed);
                   w.raw(",\"queued\":");
                   w.integer(m.queued);
                 },
             },
             message);
  w.raw("}");
}

}  // namespace mdspeak
