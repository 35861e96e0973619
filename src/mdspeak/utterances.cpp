#include "utterances.h"

#include <algorithm>

namespace mdspeak::reader {

Result<std::vector<Utterance>> utterances_from_json(const nlohmann::json& array,
                                                    const LineIndex& lines) {
  if (!array.is_array()) return fail(Error("the service sent no utterance list"));
  std::vector<Utterance> list;
  list.reserve(array.size());
  std::optional<std::size_t> heading;
  for (const auto& item : array) {
    if (!item.is_object() || !item.contains("text") || !item["text"].is_string() ||
        !item.contains("start_offset") || !item["start_offset"].is_number_unsigned() ||
        !item.contains("end_offset") || !item["end_offset"].is_number_unsigned() ||
        !item.contains("kind") || !item["kind"].is_string()) {
      return fail(Error("the service sent a malformed utterance"));
    }
    Utterance u;
    u.text = item["text"].get<std::string>();
    u.start = item["start_offset"].get<std::uint64_t>();
    u.end = item["end_offset"].get<std::uint64_t>();
    u.kind = item["kind"].get<std::string>();
    u.from = lines.position(u.start);
    u.to = lines.position(u.end);
    if (u.kind == "heading") heading = list.size();
    u.heading = heading;
    list.push_back(std::move(u));
  }
  return list;
}

std::string print_line(std::size_t index, const Utterance& u, std::size_t count) {
  std::string number = std::to_string(index);
  std::size_t digits = std::to_string(count > 0 ? count - 1 : 0).size();
  std::string kind = u.kind;
  if (kind.size() < 11) kind.resize(11, ' ');  // "block_quote" is the longest kind
  return std::string(digits > number.size() ? digits - number.size() : 0, ' ') + number + " " +
         kind + " " + format_position(u.from) + "-" + format_position(u.to) + " " +
         one_line(u.text);
}

std::string plain_line(const Utterance& u) {
  return format_position(u.from) + " " + u.kind + " " + one_line(u.text);
}

std::optional<std::size_t> next_heading(const std::vector<Utterance>& list, std::size_t current) {
  for (std::size_t i = current + 1; i < list.size(); ++i) {
    if (list[i].kind == "heading") return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> previous_heading(const std::vector<Utterance>& list,
                                            std::size_t current) {
  for (std::size_t i = std::min(current, list.size()); i-- > 0;) {
    if (list[i].kind == "heading") return i;
  }
  return std::nullopt;
}

namespace {

bool same_range(const Utterance& a, const Utterance& b) {
  return a.start == b.start && a.end == b.end;
}

}  // namespace

std::size_t block_start(const std::vector<Utterance>& list, std::size_t index) {
  if (index >= list.size()) return index;
  while (index > 0 && same_range(list[index - 1], list[index])) --index;
  return index;
}

std::optional<std::size_t> next_block(const std::vector<Utterance>& list, std::size_t current) {
  for (std::size_t i = current + 1; i < list.size(); ++i) {
    if (!same_range(list[i], list[current])) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> previous_block(const std::vector<Utterance>& list, std::size_t current) {
  if (current >= list.size()) return std::nullopt;
  std::size_t start = block_start(list, current);
  if (start != current) return start;
  if (start == 0) return std::nullopt;
  return block_start(list, start - 1);
}

std::size_t first_selected(const std::vector<Utterance>& list, std::uint64_t offset) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].end > offset) return i;
  }
  return list.size();
}

std::size_t locate(const std::vector<Utterance>& list, std::size_t base, std::uint64_t event_index,
                   std::uint64_t start, std::uint64_t end) {
  auto matches = [&](std::size_t i) {
    return i < list.size() && list[i].start == start && list[i].end == end;
  };
  if (event_index < list.size() && matches(base + event_index)) return base + event_index;
  for (std::size_t i = base; i < list.size(); ++i) {
    if (matches(i)) return i;
  }
  for (std::size_t i = 0; i < std::min(base, list.size()); ++i) {
    if (matches(i)) return i;
  }
  return std::min<std::size_t>(base + event_index, list.empty() ? 0 : list.size() - 1);
}

}  // namespace mdspeak::reader
