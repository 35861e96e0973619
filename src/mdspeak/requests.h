// What every mode of the reader says to the service and reads back: the document's id, the load
// request, and the wording of a service that stopped.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "service.h"

namespace mdspeak::client {

using Json = nlohmann::json;

inline constexpr const char* kDocumentId = "doc";

// One compact line; invalid UTF-8 in a string (never ours) is replaced, not thrown.
std::string dump(const Json& value);

// The load request; with the natural reading asked for, a service that refuses it (an older one
// answers unsupported_reading) is sent the plain one after.
Json load_request(const std::string& source, bool natural);
bool refuses_reading(const Json& answer);

// "English" for "en-US", "Spanish" for "es"; other languages by their code.
std::string language_name(const std::string& locale);

// "the speech service stopped unexpectedly", with its last line on stderr when it left one.
std::string died(ServiceConnection& service);

// Waits for the answer whose "id" is `id`, dropping other lines; none on death or timeout.
std::optional<Json> await_answer(ServiceConnection& service, const std::string& id,
                                 std::chrono::milliseconds timeout);

}  // namespace mdspeak::client
