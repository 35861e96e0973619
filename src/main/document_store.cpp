#include "main/document_store.h"

#include <malloc.h>

#include <span>
#include <utility>

#include "main/passages.h"
#include "summary/summary.h"

namespace mdspeak {

std::vector<const Utterance*> select_range(std::span<const Utterance> utterances,
                                           std::optional<std::uint64_t> start_offset,
                                           std::optional<std::uint64_t> end_offset) {
  const std::uint64_t start = start_offset.value_or(0);
  std::vector<const Utterance*> out;
  for (const Utterance& u : utterances) {
    if (u.end_offset > start && (!end_offset || u.start_offset < *end_offset)) out.push_back(&u);
  }
  return out;
}

namespace {

// The summary of a document whose utterances have moved out of its parse.
void write_summary(LoadedDocument& document) {
  DeferredLoad& deferred = *document.deferred;
  // The summary reads the utterances through the parse's sections.
  std::swap(deferred.parsed.utterances, document.utterances);
  if (document.reading == ReadingMode::Natural) {
    // The natural reading words its summary in the document's language.
    document.summary =
        summarize_document(deferred.parsed, document.language == SupportedLanguage::Spanish
                                                ? SupportedLanguage::Spanish
                                                : SupportedLanguage::English);
  } else {
    document.summary = summarize_document(deferred.parsed);
  }
  std::swap(deferred.parsed.utterances, document.utterances);
  deferred.summary_done = true;
}

// Finishes the language (and, when asked, the summary) a load left for later, in the order a
// load used to do them all: the summary reads the code blocks' announcements as first worded.
void settle(LoadedDocument& document, bool with_summary) {
  if (!document.deferred) return;
  DeferredLoad& deferred = *document.deferred;
  if (!deferred.language_done) {
    document.language = deferred.language.finish();
    deferred.language_done = true;
    const bool spanish = document.language == SupportedLanguage::Spanish;
    if (document.reading == ReadingMode::Natural) {
      // The natural reading words its own additions, and then its summary, in the document's
      // language.
      std::swap(deferred.parsed.utterances, document.utterances);
      if (spanish) announce_code_blocks_in_spanish(deferred.parsed);
      word_task_prefixes(deferred.parsed, document.language);
      document.languages = passage_languages(deferred.parsed, document.language);
      std::swap(deferred.parsed.utterances, document.utterances);
    } else if (spanish && !deferred.parsed.code_blocks.empty()) {
      if (!deferred.summary_done) write_summary(document);
      std::swap(deferred.parsed.utterances, document.utterances);
      announce_code_blocks_in_spanish(deferred.parsed);
      std::swap(deferred.parsed.utterances, document.utterances);
    }
  }
  if (with_summary && !deferred.summary_done) write_summary(document);
  if (deferred.summary_done) document.deferred.reset();
}

}  // namespace

const LoadedDocument* DocumentStore::find(const std::string& document_id, bool with_summary) {
  auto it = documents_.find(document_id);
  if (it == documents_.end()) return nullptr;
  settle(it->second, with_summary);
  return &it->second;
}

bool DocumentStore::settle_one() {
  for (auto& [id, document] : documents_) {
    if (document.deferred) {
      settle(document, true);
      return true;
    }
  }
  return false;
}

std::uint64_t DocumentStore::load(const std::string& document_id, std::string text,
                                  ReadingMode reading) {
  // Detection reads the utterance texts (as if joined by single spaces) as they are made, in
  // what time the parse leaves idle, and is finished after the answer. The words a natural
  // reading adds for code blocks are not the document's.
  auto deferred = std::make_unique<DeferredLoad>();
  // Parsed in its own buffer (the utterances hold their own texts), which is freed once the
  // answer is out.
  deferred->parsed = parse_markdown_document_in_place(
      text,
      [&language = deferred->language](std::span<const Utterance> made) {
        for (const Utterance& u : made) {
          if (u.kind != UtteranceKind::CodeBlock) language.add(u.text);
        }
      },
      reading);
  spent_source_ = std::move(text);

  LoadedDocument document;
  document.reading = reading;
  document.utterances = std::move(deferred->parsed.utterances);
  document.source_map = std::move(deferred->parsed.source_map);
  document.heading_levels = std::move(deferred->parsed.heading_levels);
  document.deferred = std::move(deferred);
  return store(document_id, std::move(document));
}

std::uint64_t DocumentStore::store(const std::string& document_id, LoadedDocument document) {
  const std::uint64_t count = document.utterances.size();
  if (auto stored = documents_.find(document_id); stored != documents_.end()) {
    spent_document_ = std::exchange(stored->second, std::move(document));
  } else {
    documents_.emplace(document_id, std::move(document));
  }
  memory_to_give_back_ = true;
  return count;
}

void DocumentStore::give_back_memory() {
  if (!std::exchange(memory_to_give_back_, false)) return;
  std::string().swap(spent_source_);
  spent_document_.reset();
  // The source, a replaced document and the parse's scratch go back to the allocator piece by
  // piece: hand the pages back so that memory after one huge document returns to what a small
  // one needs.
  malloc_trim(0);
}

}  // namespace mdspeak
