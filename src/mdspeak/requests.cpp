#include "requests.h"

#include <poll.h>

#include <algorithm>

namespace mdspeak::client {

std::string dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json load_request(const std::string& source, bool natural) {
  Json load = {
      {"type", "load_document"}, {"id", "load"}, {"document_id", kDocumentId}, {"text", source}};
  if (natural) load["reading"] = "natural";
  return load;
}

bool refuses_reading(const Json& answer) {
  return answer.value("type", "") == "error_result" &&
         answer.value("code", "") == "unsupported_reading";
}

std::string language_name(const std::string& locale) {
  std::string language = locale.substr(0, locale.find_first_of("-_"));
  if (language == "en") return "English";
  if (language == "es") return "Spanish";
  return language;
}

std::string died(ServiceConnection& service) {
  service.read_stderr();
  std::string text = "the speech service stopped unexpectedly";
  if (!service.last_error_line().empty()) text += " (" + service.last_error_line() + ")";
  return text;
}

std::optional<Json> await_answer(ServiceConnection& service, const std::string& id,
                                 std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (auto& line : service.read_lines()) {
      Json message = Json::parse(line, nullptr, false);
      if (message.is_object() && message.value("id", "") == id) return message;
    }
    service.read_stderr();
    if (service.eof()) return std::nullopt;
    pollfd fd{service.stdout_fd(), POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    poll(&fd, 1, static_cast<int>(std::max<long>(left.count(), 1)));
  }
  return std::nullopt;
}

}  // namespace mdspeak::client
