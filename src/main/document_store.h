// The document store: every loaded document with its utterances, source map, summary and
// language, under the client's document id.
//
// Why it exists: a load must answer as soon as the text is cut into utterances (the answer
// carries only their count), yet the language and the summary need the whole text. The store
// keeps what a load left for later (`DeferredLoad`) and finishes it when a request needs it
// (`find`) or when the service is idle (`settle_one`), so the answers are those of a load that
// did everything at once. It also keeps what a load left spent (the source it read, the document
// it replaced) until `give_back_memory`, so that freeing megabytes does not delay an answer.
//
// State contract: a document is unsettled (language and summary pending), then has its language,
// then its summary too; `find` moves it as far as the caller needs, never back. A load under an
// id already stored replaces that document; whoever keeps positions in it (a paused reading) must
// drop them. Main thread only; the language detection of a load runs on a thread of its own,
// which `find` or `settle_one` joins.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "language/language.h"
#include "markdown/markdown.h"

namespace mdspeak {

// What a load leaves until after its answer, which carries only the utterance count: the
// language (its detection reads the utterances on a thread of its own while the text is read)
// and the summary. Either is finished when a request needs it, or when the service is idle.
struct DeferredLoad {
  StreamingDetection language;
  bool language_done = false;
  bool summary_done = false;
  // The parse's sections, title and code-block notes; its utterances live in the document.
  ParsedMarkdownDocument parsed;
};

struct LoadedDocument {
  std::vector<Utterance> utterances;
  std::vector<Utterance> summary;
  std::optional<SupportedLanguage> language;
  TextSourceMap source_map;                  // word-level source ranges of `utterances`
  std::vector<std::uint8_t> heading_levels;  // of the heading utterances, in order
  ReadingMode reading = ReadingMode::Plain;  // what the client asked for at load
  // Present until the language and the summary above are final.
  std::unique_ptr<DeferredLoad> deferred = nullptr;
  // Natural reading: the language of each of `utterances` (see passage_languages); empty for the
  // plain reading and until the load is settled.
  std::vector<std::optional<SupportedLanguage>> languages = {};
};

// The utterances overlapping [start, end): end_offset > start (0 when absent) and, with an end,
// start_offset < end. Keeps list order.
std::vector<const Utterance*> select_range(std::span<const Utterance> utterances,
                                           std::optional<std::uint64_t> start_offset,
                                           std::optional<std::uint64_t> end_offset);

class DocumentStore {
 public:
  // Parses `text` the way `reading` asks and keeps it under `document_id`; the language and the
  // summary are left for later. Returns the utterance count. The text is kept as spent.
  std::uint64_t load(const std::string& document_id, std::string text, ReadingMode reading);
  // Keeps `document` under `document_id`, replacing any; returns its utterance count.
  std::uint64_t store(const std::string& document_id, LoadedDocument document);
  // The document under `document_id` with its language final, and its summary too when
  // `with_summary`; null when no such document is loaded. Valid until the next load or store.
  const LoadedDocument* find(const std::string& document_id, bool with_summary = false);
  // Finishes the work one load left for later (its language and summary); false when none is
  // left.
  bool settle_one();
  // Frees what loads left spent and hands the pages back to the system.
  void give_back_memory();

 private:
  std::unordered_map<std::string, LoadedDocument> documents_;
  bool memory_to_give_back_ = false;
  // Freed by give_back_memory: unmapping a large source and freeing a replaced document's
  // utterances one by one take milliseconds the answer need not wait for.
  std::string spent_source_;
  std::optional<LoadedDocument> spent_document_;
};

}  // namespace mdspeak
