#include "markdown/finalize.h"

#include <algorithm>

#include "common/unicode.h"

namespace mdspeak {

namespace {

// A long text is cut after these marks once the piece before them has this many bytes.
constexpr std::size_t kMaxUtteranceBytes = 180;
constexpr std::size_t kMinSentenceBytes = 40;

bool is_sentence_end(char c) {
  return c == '!' || c == '.' || c == ':' || c == ';' || c == '?';
}

std::vector<std::string_view> cut_at_sentence_ends(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  // The marks are ASCII, so walking bytes visits them exactly where walking characters would.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!is_sentence_end(text[i])) continue;
    std::string_view piece = unicode::trim(text.substr(begin, i + 1 - begin));
    if (piece.size() >= kMinSentenceBytes) {
      pieces.push_back(piece);
      begin = i + 1;
    }
  }
  std::string_view rest = unicode::trim(text.substr(begin));
  if (!rest.empty()) pieces.push_back(rest);
  return pieces;
}

std::vector<std::string_view> cut_at_commas(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t comma = text.find(',', begin);
    if (comma == std::string_view::npos) comma = text.size();
    std::string_view piece = unicode::trim(text.substr(begin, comma - begin));
    if (!piece.empty()) pieces.push_back(piece);
    begin = comma + 1;
  }
  return pieces;
}

}  // namespace

std::string normalize_whitespace(std::string_view text) {
  return unicode::collapse_white_space(text);
}

namespace markdown {

void append_utterances(std::vector<Utterance>& out, std::string_view text,
                       std::optional<SourceSpan> span, UtteranceKind kind) {
  if (!span) return;
  std::string normalized = normalize_whitespace(text);
  if (normalized.empty()) return;
  const std::uint64_t start = span->first;
  const std::uint64_t end = std::max(span->first, span->second);
  if (normalized.size() <= kMaxUtteranceBytes) {
    out.push_back(Utterance{std::move(normalized), start, end, kind});
    return;
  }
  std::vector<std::string_view> pieces = cut_at_sentence_ends(normalized);
  if (pieces.size() < 2) pieces = cut_at_commas(normalized);
  for (std::string_view piece : pieces)
    out.push_back(Utterance{std::string(piece), start, end, kind});
}

}  // namespace markdown

void finalize_text(std::vector<Utterance>& out, std::string text, std::optional<SourceSpan> span,
                   UtteranceKind kind) {
  markdown::append_utterances(out, text, span, kind);
}

}  // namespace mdspeak
