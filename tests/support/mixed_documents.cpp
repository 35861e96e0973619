#include "mixed_documents.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <string_view>

#include "main/passages.h"
#include "markdown/markdown.h"

namespace mdspeak::testing {
namespace {

std::size_t word_count(std::string_view text) {
  std::size_t count = 0;
  bool in_word = false;
  for (char c : text) {
    const bool space = c == ' ';
    if (!space && !in_word) ++count;
    in_word = !space;
  }
  return count;
}

// Markdown syntax inside a passage would change its blocks: such characters become spaces.
std::string plain(std::string_view text) {
  std::string out;
  for (char c : text) {
    out.push_back(std::string_view("*_`[]<>#|\\!~&").find(c) == std::string_view::npos ? c : ' ');
  }
  return normalize_whitespace(out);
}

std::string first_words(std::string_view text, std::size_t count) {
  std::string out;
  std::size_t words = 0;
  for (std::size_t pos = 0; pos < text.size() && words < count; ++words) {
    const std::size_t end = std::min(text.find(' ', pos), text.size());
    if (!out.empty()) out.push_back(' ');
    out.append(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

}  // namespace

std::vector<LabelledPassage> load_passages(const char* path) {
  std::vector<LabelledPassage> passages;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    if (auto language = from_locale(line.substr(0, tab))) {
      passages.push_back({*language, plain(std::string_view(line).substr(tab + 1))});
    }
  }
  return passages;
}

std::vector<MixedDocument> assemble_mixed_documents(std::vector<LabelledPassage> passages,
                                                    std::uint32_t seed, unsigned other_every) {
  std::mt19937 random(seed);
  std::shuffle(passages.begin(), passages.end(), random);
  std::vector<LabelledPassage> pool[2];
  for (LabelledPassage& p : passages) {
    pool[p.language == SupportedLanguage::Spanish].push_back(std::move(p));
  }
  auto take = [&](SupportedLanguage language) -> std::optional<LabelledPassage> {
    auto& from = pool[language == SupportedLanguage::Spanish];
    if (from.empty()) return std::nullopt;
    LabelledPassage p = std::move(from.back());
    from.pop_back();
    return p;
  };
  auto other = [](SupportedLanguage l) {
    return l == SupportedLanguage::English ? SupportedLanguage::Spanish
                                           : SupportedLanguage::English;
  };

  std::vector<MixedDocument> documents;
  while (!pool[0].empty() || !pool[1].empty()) {
    MixedDocument doc;
    const int sections = 2 + static_cast<int>(random() % 4);
    for (int s = 0; s < sections; ++s) {
      const SupportedLanguage language =
          random() % 2 ? SupportedLanguage::Spanish : SupportedLanguage::English;
      auto title = take(language);
      if (!title) break;
      doc.markdown += "## " + first_words(title->text, 4) + "\n\n";
      const int blocks = 2 + static_cast<int>(random() % 4);
      for (int b = 0; b < blocks; ++b) {
        auto passage =
            take(other_every != 0 && random() % other_every == 0 ? other(language) : language);
        if (!passage) break;
        // Some blocks are short (a label, a one-line item): too little to judge alone.
        if (random() % 5 == 0) passage->text = first_words(passage->text, 1 + random() % 7);
        const int form = static_cast<int>(random() % 6);
        const std::string marker = form < 3 ? "" : form < 5 ? "- " : "> ";
        const std::uint64_t start = doc.markdown.size() + marker.size();
        doc.markdown += marker + passage->text;
        doc.blocks.push_back(
            {start, doc.markdown.size(), passage->language, word_count(passage->text)});
        doc.markdown += "\n\n";
      }
    }
    documents.push_back(std::move(doc));
  }
  return documents;
}

Score score_documents(const std::vector<MixedDocument>& documents, PassageEvidence minimum) {
  Score score;
  for (const MixedDocument& doc : documents) {
    const ParsedMarkdownDocument parsed =
        parse_markdown_document(doc.markdown, ReadingMode::Natural);
    std::vector<std::string_view> texts;
    for (const Utterance& u : parsed.utterances) texts.push_back(u.text);
    const auto languages = passage_languages(parsed, detect_supported_language(texts), minimum);
    for (const ExpectedBlock& block : doc.blocks) {
      Tally& tally = block.words < 8 ? score.short_ : block.words < 20 ? score.mid : score.long_;
      bool seen = false;
      bool right = true;
      for (std::size_t i = 0; i < parsed.utterances.size(); ++i) {
        const Utterance& u = parsed.utterances[i];
        if (u.start_offset < block.start || u.start_offset >= block.end) continue;
        seen = true;
        right = right && languages[i] == block.language;
      }
      ++tally.total;
      if (seen && right) {
        ++tally.right;
      } else if (score.misses.size() < 20) {
        score.misses.push_back(std::string(language_code(block.language)) + ": " +
                               doc.markdown.substr(block.start, std::min<std::uint64_t>(
                                                                    block.end - block.start, 160)));
      }
    }
  }
  return score;
}

}  // namespace mdspeak::testing
