// A test client of the real binary that speaks the protocol in JSON values.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "service_process.h"

namespace mdspeak::testing {

class JsonClient {
 public:
  void send(const nlohmann::json& request) { service_.write(request.dump() + "\n"); }
  // The next message, or null at end of output or timeout.
  nlohmann::json next(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto line = service_.read_line(timeout);
    return line ? nlohmann::json::parse(*line) : nlohmann::json();
  }
  nlohmann::json answer(const nlohmann::json& request) {
    send(request);
    return next();
  }
  // Reads until a message of `type`; the ones before it are appended to `skipped`.
  nlohmann::json until(const std::string& type, std::vector<nlohmann::json>* skipped = nullptr) {
    for (;;) {
      nlohmann::json m = next();
      if (m.is_null() || m["type"] == type) return m;
      if (skipped) skipped->push_back(m);
    }
  }
  // Loads `text` as document "doc".
  void load(const std::string& text) {
    send({{"type", "load_document"}, {"id", "l"}, {"document_id", "doc"}, {"text", text}});
    until("load_document_result");
  }
  ServiceProcess& process() { return service_; }

 private:
  ServiceProcess service_;
};

}  // namespace mdspeak::testing
