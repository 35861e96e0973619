#include "main/spoken_table.h"

#include <algorithm>

namespace mdspeak {

std::vector<SpokenTable::Entry>::iterator SpokenTable::find(std::string_view key) {
  // Searched from the front: the entry being spoken is almost always the first.
  return std::find_if(entries_.begin(), entries_.end(),
                      [&](const Entry& entry) { return entry.key == key; });
}

const SpokenUtterance* SpokenTable::find_entry(std::string_view key) const {
  auto it = const_cast<SpokenTable*>(this)->find(key);
  return it == entries_.end() ? nullptr : &it->utterance;
}

void SpokenTable::record(std::string key, SpokenUtterance utterance) {
  entries_.push_back(Entry{std::move(key), std::move(utterance)});
}

const SpokenUtterance* SpokenTable::begin(std::string_view key) {
  auto it = find(key);
  if (it == entries_.end()) return nullptr;
  it->utterance.begun = true;
  return &it->utterance;
}

std::optional<std::size_t> SpokenTable::word(std::string_view key, std::size_t mark) {
  auto it = find(key);
  if (it == entries_.end()) return std::nullopt;
  SpokenUtterance& u = it->utterance;
  const std::size_t word = u.first_word + mark;
  if (mark >= u.words().size() || word >= std::min(u.end_word, u.words().size())) {
    return std::nullopt;
  }
  u.current_word = word;
  return word;
}

std::optional<SpokenUtterance> SpokenTable::end(std::string_view key) {
  auto it = find(key);
  if (it == entries_.end()) return std::nullopt;
  SpokenUtterance done = std::move(it->utterance);
  entries_.erase(it);
  return done;
}

std::optional<SpokenUtterance> SpokenTable::take_waiting() {
  if (waiting_.empty()) return std::nullopt;
  SpokenUtterance next = std::move(waiting_.front());
  waiting_.pop_front();
  return next;
}

std::vector<SpokenUtterance> SpokenTable::take_position() {
  std::vector<SpokenUtterance> rest;
  // Utterances that began and are still in the table are being heard; earlier ones would have
  // ended. Start at the last begun one, or at the first when none has begun yet.
  std::size_t from = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].utterance.begun) from = i;
  }
  auto keep = [&rest](SpokenUtterance u) {
    // Later parts of the utterance kept last are part of it again.
    if (!rest.empty() && rest.back().content == u.content) return;
    if (u.current_word) u.first_word = *u.current_word;
    u.current_word.reset();
    u.begun = false;
    u.continued = false;
    u.end_word = SpokenUtterance::kAllWords;
    rest.push_back(std::move(u));
  };
  for (std::size_t i = from; i < entries_.size(); ++i) keep(std::move(entries_[i].utterance));
  for (SpokenUtterance& u : waiting_) keep(std::move(u));
  clear();
  return rest;
}

}  // namespace mdspeak
