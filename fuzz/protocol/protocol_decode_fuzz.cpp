// Arbitrary bytes into the request decoder. Whatever decodes is written back twice: as a request
// in both wire forms, which must decode to the same request, and inside answers, whose JSON must
// parse and carry the same strings. It must be JSON to nlohmann too, still decode with white space
// after it and never with anything else after it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "protocol/json_scanner.h"
#include "protocol/protocol.h"

namespace {

using mdspeak::Request;
using Json = nlohmann::json;

void check(bool condition) {
  if (!condition) std::abort();
}

template <class T>
Json optional_json(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// The request's fields in declared order, with its type name; false when a field cannot be
// written as JSON that reads back the same (an infinite rate).
using Fields = std::vector<std::pair<std::string, Json>>;

bool fields_of(const Request& request, std::string& type, Fields& fields) {
  fields.clear();
  bool exact = true;
  std::visit(
      [&](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        fields.emplace_back("id", r.id);
        if constexpr (std::is_same_v<T, mdspeak::Init>) type = "init";
        if constexpr (std::is_same_v<T, mdspeak::ListVoices>) type = "list_voices";
        if constexpr (std::is_same_v<T, mdspeak::Stop>) type = "stop";
        if constexpr (std::is_same_v<T, mdspeak::LoadDocument>) {
          type = "load_document";
          fields.emplace_back("document_id", r.document_id);
          fields.emplace_back("text", r.text);
          // The plain reading is the member left out; any value but the two known is refused
          // by the host, so any other string reads back the same.
          if (r.reading == mdspeak::RequestedReading::Natural) {
            fields.emplace_back("reading", "natural");
          } else if (r.reading == mdspeak::RequestedReading::Unsupported) {
            fields.emplace_back("reading", "fast");
          }
        }
        if constexpr (std::is_same_v<T, mdspeak::PrepareSpeech>) {
          type = "prepare_speech";
          fields.emplace_back("document_id", r.document_id);
          fields.emplace_back("start_offset", optional_json(r.start_offset));
          fields.emplace_back("end_offset", optional_json(r.end_offset));
        }
        if constexpr (std::is_same_v<T, mdspeak::PrepareSummary>) {
          type = "prepare_summary";
          fields.emplace_back("document_id", r.document_id);
        }
        if constexpr (std::is_same_v<T, mdspeak::Speak>) {
          type = "speak";
          fields.emplace_back("document_id", r.document_id);
          fields.emplace_back("start_offset", optional_json(r.start_offset));
          fields.emplace_back("end_offset", optional_json(r.end_offset));
          fields.emplace_back("voice_id", optional_json(r.voice_id));
          fields.emplace_back("rate", r.rate);
          exact = std::isfinite(r.rate);
        }
        if constexpr (std::is_same_v<T, mdspeak::Export>) {
          type = "export";
          fields.emplace_back("document_id", r.document_id);
          fields.emplace_back("path", r.path);
          fields.emplace_back("format", optional_json(r.format));
          fields.emplace_back("start_offset", optional_json(r.start_offset));
          fields.emplace_back("end_offset", optional_json(r.end_offset));
          fields.emplace_back("summary", r.summary);
          fields.emplace_back("voice_id", optional_json(r.voice_id));
          fields.emplace_back("rate", optional_json(r.rate));
          fields.emplace_back("transcript", optional_json(r.transcript));
          fields.emplace_back("chapter_level", optional_json(r.chapter_level));
          fields.emplace_back("transcript_words", r.transcript_words);
          exact = !r.rate || std::isfinite(*r.rate);
        }
        if constexpr (std::is_same_v<T, mdspeak::SpeakSummary>) {
          type = "speak_summary";
          fields.emplace_back("document_id", r.document_id);
          fields.emplace_back("voice_id", optional_json(r.voice_id));
          fields.emplace_back("rate", r.rate);
          exact = std::isfinite(r.rate);
        }
      },
      request);
  return exact;
}

const std::string& document_id_of(const Request& request) {
  static const std::string none;
  return std::visit(
      [](const auto& r) -> const std::string& {
        if constexpr (requires { r.document_id; }) {
          return r.document_id;
        } else {
          return none;
        }
      },
      request);
}

void check_round_trip(const Request& request) {
  std::string type;
  Fields fields;
  // Pause and resume have no writer here; their forms are covered by the decode tests.
  if (!fields_of(request, type, fields) || type.empty()) return;

  Json array = Json::array({type});
  for (const auto& [name, value] : fields) array.push_back(value);
  auto from_array = mdspeak::decode_request(array.dump());
  check(from_array.has_value() && *from_array == request);

  // nlohmann writes members sorted by name, so "type" lands in the middle; an ignored member
  // rides along.
  Json object = Json::object({{"type", type}, {"zz_ignored", array}});
  for (const auto& [name, value] : fields) object[name] = value;
  auto from_object = mdspeak::decode_request(object.dump());
  check(from_object.has_value() && *from_object == request);
}

// A line is its full length: white space may follow the value, nothing else may, not even after
// a NUL.
void check_full_length(std::string_view line, const Request& request) {
  std::string padded(line);
  padded += " \t\r\n";
  auto spaced = mdspeak::decode_request(padded);
  check(spaced.has_value() && *spaced == request);
  using namespace std::string_view_literals;
  for (const std::string_view tail :
       {"\0"sv, "\0 "sv, "\0[\"stop\",\"x\"]"sv, "x"sv, ","sv, "0"sv, "{}"sv}) {
    std::string longer(line);
    longer += tail;
    check(!mdspeak::decode_request(longer).has_value());
  }
}

// A second JSON reader's view of the same line: whatever decodes must be JSON to it too. It
// refuses numbers beyond the double range (error 406), which the decoder accepts on purpose.
struct JsonWitness {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool number_integer(Json::number_integer_t) { return true; }
  bool number_unsigned(Json::number_unsigned_t) { return true; }
  bool number_float(Json::number_float_t, const std::string&) { return true; }
  bool string(std::string&) { return true; }
  bool binary(Json::binary_t&) { return true; }
  bool start_object(std::size_t) { return true; }
  bool end_object() { return true; }
  bool start_array(std::size_t) { return true; }
  bool end_array() { return true; }
  bool key(std::string&) { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    number_overflow = e.id == 406;
    return false;
  }
  bool number_overflow = false;
};

void check_is_json(std::string_view line) {
  JsonWitness witness;
  const bool parsed = Json::sax_parse(line.begin(), line.end(), &witness,
                                      Json::input_format_t::json, /*strict=*/true);
  check(parsed || witness.number_overflow);
}

void check_answers(const Request& request) {
  const std::string id = std::visit([](const auto& r) { return r.id; }, request);
  const std::string& document_id = document_id_of(request);
  std::string text = id;
  if (const auto* load = std::get_if<mdspeak::LoadDocument>(&request)) text = load->text;

  mdspeak::PrepareSpeechResult prepared{id, document_id, std::nullopt, {}};
  for (std::uint64_t i = 0; i < 3; ++i) {
    prepared.utterances.push_back(mdspeak::PreparedUtterance{
        i, text, i, text.size(), static_cast<mdspeak::PreparedUtteranceKind>(i)});
  }
  std::string out;
  mdspeak::encode_message(prepared, out);
  for (char c : out) check(static_cast<unsigned char>(c) >= 0x20);
  const Json parsed = Json::parse(out, nullptr, /*allow_exceptions=*/false);
  check(!parsed.is_discarded());
  check(parsed["id"] == id && parsed["document_id"] == document_id);
  check(parsed["language_code"].is_null());
  check(parsed["utterances"].size() == 3 && parsed["utterances"][2]["text"] == text);
  check(parsed["utterances"][2]["end_offset"] == text.size());

  out.clear();
  mdspeak::encode_message(mdspeak::ErrorResult{id, "document_not_loaded",
                                               "document '" + document_id + "' is not loaded"},
                          out);
  const Json error = Json::parse(out, nullptr, false);
  check(!error.is_discarded() && error["id"] == id);
  // The writer puts "type" first: the line starts with it.
  check(std::string_view(out).starts_with(R"({"type":"error_result","id":)"));
}

}  // namespace

// Strings decoded while the line arrives, in reads of any size, change nothing: the same request
// or the same refusal.
void check_decoded_ahead(std::string_view line, const mdspeak::Result<Request>& whole) {
  const std::size_t step = 1 + line.size() % 7;
  mdspeak::json::StringAhead ahead(1);
  for (std::size_t size = step; size < line.size(); size += step) ahead.feed(line.substr(0, size));
  mdspeak::json::DecodedAhead decoded = ahead.take(line.data());
  const auto again = mdspeak::decode_request(line, &decoded);
  check(again.has_value() == whole.has_value());
  if (whole) {
    check(*again == *whole);
  } else {
    check(again.error().message == whole.error().message);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  auto request = mdspeak::decode_request(line);
  check_decoded_ahead(line, request);
  if (!request) return 0;
  check_is_json(line);
  check_round_trip(*request);
  check_full_length(line, *request);
  check_answers(*request);
  return 0;
}
