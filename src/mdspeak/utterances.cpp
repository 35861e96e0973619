#include "utterances.h"

#include <algorithm>
#include <cctype>

namespace mdspeak::client {

Result<std::vector<PlacedUtterance>> utterances_from_json(const nlohmann::json& array,
                                                          const LineIndex& lines) {
  if (!array.is_array()) return fail(Error("the service sent no utterance list"));
  std::vector<PlacedUtterance> list;
  list.reserve(array.size());
  std::optional<std::size_t> heading;
  for (const auto& item : array) {
    if (!item.is_object() || !item.contains("text") || !item["text"].is_string() ||
        !item.contains("start_offset") || !item["start_offset"].is_number_unsigned() ||
        !item.contains("end_offset") || !item["end_offset"].is_number_unsigned() ||
        !item.contains("kind") || !item["kind"].is_string()) {
      return fail(Error("the service sent a malformed utterance"));
    }
    PlacedUtterance u;
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

std::string print_line(std::size_t index, const PlacedUtterance& u, std::size_t count) {
  std::string number = std::to_string(index);
  std::size_t digits = std::to_string(count > 0 ? count - 1 : 0).size();
  std::string kind = u.kind;
  if (kind.size() < 11) kind.resize(11, ' ');  // "block_quote" is the longest kind
  return std::string(digits > number.size() ? digits - number.size() : 0, ' ') + number + " " +
         kind + " " + format_position(u.from) + "-" + format_position(u.to) + " " +
         one_line(u.text);
}

std::string plain_line(const PlacedUtterance& u) {
  return format_position(u.from) + " " + u.kind + " " + one_line(u.text);
}

std::optional<std::size_t> next_heading(const std::vector<PlacedUtterance>& list,
                                        std::size_t current) {
  for (std::size_t i = current + 1; i < list.size(); ++i) {
    if (list[i].kind == "heading") return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> previous_heading(const std::vector<PlacedUtterance>& list,
                                            std::size_t current) {
  for (std::size_t i = std::min(current, list.size()); i-- > 0;) {
    if (list[i].kind == "heading") return i;
  }
  return std::nullopt;
}

namespace {

bool same_range(const PlacedUtterance& a, const PlacedUtterance& b) {
  return a.start == b.start && a.end == b.end;
}

}  // namespace

std::size_t block_start(const std::vector<PlacedUtterance>& list, std::size_t index) {
  if (index >= list.size()) return index;
  while (index > 0 && same_range(list[index - 1], list[index])) --index;
  return index;
}

std::optional<std::size_t> next_block(const std::vector<PlacedUtterance>& list,
                                      std::size_t current) {
  for (std::size_t i = current + 1; i < list.size(); ++i) {
    if (!same_range(list[i], list[current])) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> previous_block(const std::vector<PlacedUtterance>& list,
                                          std::size_t current) {
  if (current >= list.size()) return std::nullopt;
  std::size_t start = block_start(list, current);
  if (start != current) return start;
  if (start == 0) return std::nullopt;
  return block_start(list, start - 1);
}

std::size_t first_selected(const std::vector<PlacedUtterance>& list, std::uint64_t offset) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].end > offset) return i;
  }
  return list.size();
}

std::size_t locate(const std::vector<PlacedUtterance>& list, std::size_t base,
                   std::uint64_t event_index, std::uint64_t start, std::uint64_t end) {
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

int heading_level(std::string_view source, const PlacedUtterance& u) {
  std::size_t start = std::min<std::uint64_t>(u.start, source.size());
  std::size_t line = source.rfind('\n', start == 0 ? 0 : start - 1);
  line = line == std::string_view::npos || start == 0 ? 0 : line + 1;
  std::size_t i = line;
  while (i < start && (source[i] == ' ' || source[i] == '>')) ++i;  // indents, quotes
  int hashes = 0;
  while (i < start && source[i] == '#') ++hashes, ++i;
  if (hashes >= 1 && hashes <= 6) return hashes;
  // Setext: the line after the text's last one.
  std::size_t end = source.find('\n', std::min<std::uint64_t>(u.end, source.size()));
  if (end == std::string_view::npos) return 1;
  std::size_t j = end + 1;
  while (j < source.size() && (source[j] == ' ' || source[j] == '>')) ++j;
  return j < source.size() && source[j] == '-' ? 2 : 1;
}

std::string where_words(const std::vector<PlacedUtterance>& list, std::size_t index,
                        std::string_view source) {
  auto escaped = [](std::string_view text) {
    std::string out;
    for (char c : text) {
      if (c == '\n' || c == '\r') c = ' ';
      if (std::ispunct(static_cast<unsigned char>(c))) out += '\\';
      out += c;
    }
    return out;
  };
  std::vector<std::size_t> path;
  if (index < list.size() && list[index].heading) {
    std::size_t h = *list[index].heading;
    int level = heading_level(source, list[h]);
    path.push_back(h);
    for (std::size_t i = h; i-- > 0 && level > 1;) {
      if (list[i].heading != i) continue;
      int above = heading_level(source, list[i]);
      if (above < level) {
        path.push_back(i);
        level = above;
      }
    }
  }
  std::string words;
  if (path.empty()) {
    words = "Before the first heading";
  } else {
    words = "Section ";
    for (std::size_t i = path.size(); i-- > 0;) {
      words += escaped(list[path[i]].text);
      if (i > 0) words += ", ";
    }
  }
  std::size_t before = 0, total = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    total += list[i].text.size();
    if (i < index) before += list[i].text.size();
  }
  int percent = total == 0 ? 0 : static_cast<int>(before * 100 / total);
  return words + "; " + std::to_string(percent) + " percent.";
}

}  // namespace mdspeak::client
