#include "positions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace mdspeak::client {

namespace {

using Json = nlohmann::json;
constexpr const char* kFormat = "mdspeak-positions";

std::string system_message(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

std::string content_digest(std::string_view content) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : content) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

Result<std::vector<SavedPosition>> parse_positions(std::string_view text) {
  Json document = Json::parse(text, nullptr, false);
  if (!document.is_object() || document.value("format", "") != kFormat ||
      !document.contains("files") || !document["files"].is_array()) {
    return fail(Error("not a positions file"));
  }
  std::vector<SavedPosition> entries;
  for (const auto& file : document["files"]) {
    if (!file.is_object()) continue;
    auto text_of = [&](const char* key) -> std::optional<std::string> {
      if (!file.contains(key) || !file[key].is_string()) return std::nullopt;
      return file[key].get<std::string>();
    };
    auto number_of = [&](const char* key) -> std::optional<std::uint64_t> {
      if (!file.contains(key) || !file[key].is_number_unsigned()) return std::nullopt;
      return file[key].get<std::uint64_t>();
    };
    auto path = text_of("path"), digest = text_of("digest"), heading = text_of("heading");
    auto offset = number_of("offset"), line = number_of("line"), column = number_of("column"),
         heading_offset = number_of("heading_offset");
    if (!path || path->empty() || !digest || !heading || !offset || !line || !column ||
        !heading_offset || *line == 0 || *column == 0 || find_saved(entries, *path)) {
      continue;
    }
    entries.push_back(
        {*path, *digest, *offset, Position{*line, *column}, *heading, *heading_offset});
  }
  return entries;
}

std::string serialise_positions(const std::vector<SavedPosition>& entries) {
  Json files = Json::array();
  for (const auto& e : entries) {
    files.push_back({{"path", e.path},
                     {"digest", e.digest},
                     {"offset", e.offset},
                     {"line", e.at.line},
                     {"column", e.at.column},
                     {"heading", e.heading},
                     {"heading_offset", e.heading_offset}});
  }
  Json document = {{"format", kFormat}, {"files", files}};
  return document.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::vector<SavedPosition> remember(std::vector<SavedPosition> entries, SavedPosition entry,
                                    std::size_t limit) {
  entries = forget(std::move(entries), entry.path);
  entries.insert(entries.begin(), std::move(entry));
  if (entries.size() > limit) entries.resize(limit);
  return entries;
}

std::vector<SavedPosition> forget(std::vector<SavedPosition> entries, const std::string& path) {
  std::erase_if(entries, [&](const SavedPosition& e) { return e.path == path; });
  return entries;
}

const SavedPosition* find_saved(const std::vector<SavedPosition>& entries,
                                const std::string& path) {
  for (const auto& e : entries) {
    if (e.path == path) return &e;
  }
  return nullptr;
}

std::optional<std::size_t> find_heading_again(const std::vector<PlacedUtterance>& list,
                                              const SavedPosition& saved) {
  if (saved.heading.empty()) return std::nullopt;
  std::optional<std::size_t> best;
  std::uint64_t best_distance = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].heading != i || list[i].text != saved.heading) continue;
    std::uint64_t distance = list[i].start > saved.heading_offset
                                 ? list[i].start - saved.heading_offset
                                 : saved.heading_offset - list[i].start;
    if (!best || distance < best_distance) {
      best = i;
      best_distance = distance;
    }
  }
  return best;
}

std::optional<std::filesystem::path> positions_path() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // As the XDG base directories have it: a relative value is to be ignored.
  if (state != nullptr && state[0] == '/') {
    return std::filesystem::path(state) / "mdspeak" / "positions";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return std::nullopt;
  return std::filesystem::path(home) / ".local" / "state" / "mdspeak" / "positions";
}

Result<std::vector<SavedPosition>> load_positions(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) return std::vector<SavedPosition>{};
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(Error(system_message("cannot read " + path.string())));
  std::stringstream text;
  text << in.rdbuf();
  auto entries = parse_positions(text.str());
  if (!entries) return fail(Error(path.string() + " is damaged", entries.error()));
  return entries;
}

Result<void> store_positions(const std::filesystem::path& path,
                             const std::vector<SavedPosition>& entries) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) {
    return fail(Error("cannot create " + path.parent_path().string() + ": " + error.message()));
  }
  auto temporary = path;
  temporary += ".tmp-" + std::to_string(getpid());
  std::string text = serialise_positions(entries);
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) return fail(Error(system_message("cannot write " + temporary.string())));
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  written = std::fflush(file) == 0 && written;
  written = fsync(fileno(file)) == 0 && written;
  int saved_errno = errno;
  written = std::fclose(file) == 0 && written;
  if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
    if (written) saved_errno = errno;
    std::remove(temporary.c_str());
    errno = saved_errno;
    return fail(Error(system_message("cannot write " + path.string())));
  }
  return {};
}

}  // namespace mdspeak::client
