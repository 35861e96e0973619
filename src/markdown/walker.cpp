// parse_markdown_document: md4c's callbacks mapped onto a stack of open blocks.
//
// md4c reports text with pointers into the source but gives no position for blocks, breaks or
// code fences, and it neither decodes character references nor rewrites punctuation. So the
// inline content between two block events is first collected as pieces (text runs, code spans,
// breaks) with their source spans, then handed to the innermost open block when the next block
// event comes. Holding the run until then lets a break find its line end from the content that
// follows it and lets a quote opened early become a left quote when its partner arrives.
//
// A large document is read by md4c on a second thread that only records its callbacks, in
// batches, while the calling thread walks them: the read then takes about as long as the walk
// alone instead of the walk and md4c one after the other.
#include "markdown/walker.h"

#include <md4c.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>

#include "common/pipeline.h"
#include "common/text.h"
#include "markdown/block_fixes.h"
#include "markdown/entities.h"
#include "markdown/finalize.h"
#include "markdown/natural.h"
#include "markdown/smart_punctuation.h"
#include "markdown/source_ranges.h"

namespace mdspeak {

namespace markdown {

namespace {

constexpr std::size_t kNoPos = std::string_view::npos;

// Fewer source bytes than real documents give an utterance (about 130).
constexpr std::size_t kSourceBytesPerUtterance = 96;

bool joins_without_space(char c) {
  return c == '!' || c == ',' || c == '.' || c == ':' || c == ';' || c == '?';
}

void widen(std::optional<SourceSpan>& range, const SourceSpan& more) {
  if (!range) {
    range = more;
  } else {
    range->first = std::min(range->first, more.first);
    range->second = std::max(range->second, more.second);
  }
}

}  // namespace

void append_text(Context& context, std::string_view piece, std::optional<SourceSpan> range,
                 std::span<const MapSegment> segments, std::size_t segments_base) {
  if (context.kind == ContextKind::TableRow) return;
  // A line feed is white space, so trimming first and replacing the inner ones after is the same
  // as replacing them all first.
  const std::string_view trimmed = text::trim(piece);
  if (!trimmed.empty()) {
    std::string& text = context.text;
    if (!text.empty() && text.back() != ' ' && !joins_without_space(trimmed.front())) {
      text.push_back(' ');
    }
    std::size_t at = text.size();
    text.append(trimmed);
    const std::size_t lo = segments_base + static_cast<std::size_t>(trimmed.data() - piece.data());
    add_clipped(context.segments, segments, lo, lo + trimmed.size(), at);
    if (std::memchr(trimmed.data(), '\n', trimmed.size()) != nullptr) {
      std::replace(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), '\n', ' ');
    }
  }
  if (range) widen(context.range, *range);
}

void append_natural_text(Context& context, std::string_view piece, std::optional<SourceSpan> range,
                         std::string_view source, Join join, std::span<const MapSegment> segments,
                         std::size_t segments_base) {
  if (context.kind == ContextKind::TableRow) return;
  const std::string_view trimmed = text::trim(piece);
  if (trimmed.empty()) {
    // A break or a run of blanks: the next piece is a word of its own.
    if (!piece.empty()) context.space_pending = true;
  } else {
    std::string& text = context.text;
    bool space = join == Join::Space;
    if (join == Join::Auto) {
      space = context.space_pending || trimmed.data() != piece.data();
      if (!space && range && context.last_source_end < range->first &&
          range->first <= source.size()) {
        const std::string_view gap =
            source.substr(context.last_source_end, range->first - context.last_source_end);
        space = std::any_of(gap.begin(), gap.end(),
                            [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
      }
    }
    if (space && !text.empty() && text.back() != ' ') text.push_back(' ');
    const std::size_t at = text.size();
    text.append(trimmed);
    const std::size_t lo = segments_base + static_cast<std::size_t>(trimmed.data() - piece.data());
    add_clipped(context.segments, segments, lo, lo + trimmed.size(), at);
    if (std::memchr(trimmed.data(), '\n', trimmed.size()) != nullptr) {
      std::replace(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), '\n', ' ');
    }
    context.space_pending = trimmed.data() + trimmed.size() != piece.data() + piece.size();
  }
  if (range) {
    widen(context.range, *range);
    context.last_source_end = range->second;
  }
}

void append_inline_code(std::string& out, std::string_view code, Segments& segments) {
  const std::size_t base = out.size();
  std::size_t w = base;
  out.resize(w + code.size());
  char* o = out.data();
  bool joined = false;  // a `::` became one byte
  for (std::size_t i = 0; i < code.size(); ++i) {
    // Runs without a mark to rewrite are copied whole.
    const std::size_t mark = text::find_any<'_', '/', '\\', ':'>(code, i);
    std::memcpy(o + w, code.data() + i, mark - i);
    w += mark - i;
    i = mark;
    if (i == code.size()) break;
    char c = code[i];
    if (c != ':') {
      c = ' ';
    } else if (i + 1 < code.size() && code[i + 1] == ':') {
      c = ' ';
      ++i;
      joined = true;
    }
    o[w++] = c;
  }
  out.resize(w);
  if (joined) {
    // The second colon of each pair is gone.
    std::vector<Cut> cuts;
    for (std::size_t i = 0; i + 1 < code.size(); ++i) {
      if (code[i] == ':' && code[i + 1] == ':') cuts.push_back({++i, 1});
    }
    remap(segments, cuts);
  }
  for (MapSegment& s : segments) {
    s.text_begin += base;
    s.text_end += base;
  }
}

namespace {

enum class PieceKind : std::uint8_t { Text, Code, Break };

struct Piece {
  PieceKind kind;
  bool hard = false;      // breaks: a hard line break
  std::size_t begin = 0;  // text in the run buffer
  std::size_t end = 0;
  std::size_t first_segment = 0;  // its segments in the run's
  std::size_t last_segment = 0;
  std::size_t start = kNoPos;  // source span, start == kNoPos when unknown
  std::size_t stop = 0;
  std::size_t after = 0;      // breaks: where the content before them ended
  std::size_t next = kNoPos;  // breaks: where the content after them starts
  Join join = Join::Auto;     // natural reading: how the piece joins the text before it
};

struct OpenSpan {
  std::size_t quote_mark;
  bool autolink = false;
};

// md4c's callbacks forwarded to the methods of `sink` that bear their names.
template <class Sink>
int md_parse_into(std::string_view text, Sink& sink) {
  MD_PARSER parser{};
  parser.abi_version = 0;
  parser.flags = MD_FLAG_TABLES | MD_FLAG_STRIKETHROUGH | MD_FLAG_TASKLISTS;
  parser.enter_block = [](MD_BLOCKTYPE t, void* d, void* self) {
    static_cast<Sink*>(self)->enter_block(t, d);
    return 0;
  };
  parser.leave_block = [](MD_BLOCKTYPE t, void*, void* self) {
    static_cast<Sink*>(self)->leave_block(t);
    return 0;
  };
  parser.enter_span = [](MD_SPANTYPE t, void*, void* self) {
    static_cast<Sink*>(self)->enter_span(t);
    return 0;
  };
  parser.leave_span = [](MD_SPANTYPE t, void*, void* self) {
    static_cast<Sink*>(self)->leave_span(t);
    return 0;
  };
  parser.text = [](MD_TEXTTYPE t, const MD_CHAR* text, MD_SIZE size, void* self) {
    static_cast<Sink*>(self)->text(t, text, size);
    return 0;
  };
  return md_parse(text.data(), static_cast<MD_SIZE>(text.size()), &parser, &sink);
}

// One md4c callback with what the walker reads of it: the task box of a list item, the text of
// a text event. Text that md4c wrote itself is not kept past the callback, so its one byte (the
// walker reads no longer text of md4c's own) travels in the event.
struct Event {
  enum What : std::uint8_t { EnterBlock, LeaveBlock, EnterSpan, LeaveSpan, Text };
  const MD_CHAR* text = nullptr;  // text in the source; null for md4c's own
  MD_SIZE size = 0;               // text: its size; list item: whether it is a task
  What what = Text;
  std::uint8_t type = 0;  // the block, span or text type
  char own = 0;           // text: the byte of md4c's own string; list item: the task mark
};
// Small, as every callback makes one and the other thread reads them all.
static_assert(sizeof(Event) <= 16);

// Batches of events from the parsing thread to the walking one: a callback is recorded in a few
// nanoseconds, so a lock per batch, not per event; a bounded number in flight, so memory stays
// small however long the document.
using EventBatch = std::vector<Event>;
constexpr std::size_t kEventBatch = 4096;
constexpr std::size_t kEventBatchesInFlight = 8;

// Records md4c's callbacks into batches of events.
class EventRecorder {
 public:
  EventRecorder(BatchChannel<EventBatch>& events, std::string_view source, bool keep_code)
      : events_(events), source_(source), keep_code_(keep_code) {
    batch_.reserve(kEventBatch);
  }

  void enter_block(MD_BLOCKTYPE type, void* detail) {
    Event e = make(Event::EnterBlock, type);
    if (type == MD_BLOCK_LI && detail != nullptr) {
      const auto* li = static_cast<const MD_BLOCK_LI_DETAIL*>(detail);
      e.size = li->is_task != 0 ? 1 : 0;
      e.own = li->task_mark;
    } else if (type == MD_BLOCK_CODE && detail != nullptr && keep_code_) {
      const auto* code = static_cast<const MD_BLOCK_CODE_DETAIL*>(detail);
      if (within(code->lang.text, code->lang.size)) {
        e.text = code->lang.text;
        e.size = code->lang.size;
      }
      e.own = code->fence_char;
    }
    if (type == MD_BLOCK_H && detail != nullptr) {
      e.size = static_cast<const MD_BLOCK_H_DETAIL*>(detail)->level;
    }
    if (type == MD_BLOCK_CODE) ++code_blocks_;
    push(e);
  }
  void leave_block(MD_BLOCKTYPE type) {
    if (type == MD_BLOCK_CODE && code_blocks_ > 0) --code_blocks_;
    push(make(Event::LeaveBlock, type));
  }
  void enter_span(MD_SPANTYPE type) { push(make(Event::EnterSpan, type)); }
  void leave_span(MD_SPANTYPE type) { push(make(Event::LeaveSpan, type)); }
  void text(MD_TEXTTYPE type, const MD_CHAR* text, MD_SIZE size) {
    // The lines of a code block are only counted by the natural reading: otherwise they need
    // not cross to the other thread.
    if (type == MD_TEXT_CODE && code_blocks_ > 0 && !keep_code_) return;
    Event e = make(Event::Text, type);
    e.size = size;
    if (within(text, size)) {
      e.text = text;
    } else if (size > 0) {
      e.own = text[0];
    }
    push(e);
  }
  void finish() { events_.close(std::move(batch_)); }

 private:
  static Event make(Event::What what, int type) {
    Event e;
    e.what = what;
    e.type = static_cast<std::uint8_t>(type);
    return e;
  }
  bool within(const MD_CHAR* text, MD_SIZE size) const {
    const auto p = reinterpret_cast<std::uintptr_t>(text);
    const auto base = reinterpret_cast<std::uintptr_t>(source_.data());
    return p >= base && p - base <= source_.size() && source_.size() - (p - base) >= size;
  }
  void push(const Event& e) {
    batch_.push_back(e);
    if (batch_.size() == kEventBatch) {
      events_.put(batch_);
      batch_.reserve(kEventBatch);
    }
  }

  BatchChannel<EventBatch>& events_;
  std::string_view source_;      // what md4c reads: its text pointers elsewhere are its own strings
  bool keep_code_ = false;       // code blocks' lines and info strings are read
  std::size_t code_blocks_ = 0;  // open around the current event
  EventBatch batch_;
};

class Walker {
 public:
  Walker(std::string_view source, std::size_t parse_from, TextSourceMap& map,
         std::vector<Insertion> insertions, const UtteranceWatcher& watcher, ReadingMode mode)
      : source_(source),
        parse_from_(parse_from),
        mode_(mode),
        watcher_(watcher),
        map_(map, std::move(insertions)),
        smart_(run_, run_segments_) {}

  // Reads the whole source; with `pipelined`, md4c runs on a second thread while this one
  // turns its callbacks into utterances.
  std::vector<Utterance> run(bool pipelined) {
    // md4c measures its input in `unsigned`; a larger document is read up to that size.
    const std::size_t size =
        std::min<std::size_t>(source_.size() - parse_from_, std::numeric_limits<MD_SIZE>::max());
    const std::string_view read = source_.substr(parse_from_, size);
    cursor_ = parse_from_;
    // Room for what documents usually hold, so that the list is not moved as it grows; room
    // not used is never touched, and so takes no memory.
    out_.reserve(size / kSourceBytesPerUtterance);
    map_.reserve(size / kSourceBytesPerUtterance);
    if (!pipelined || !run_pipelined(read)) md_parse_into(read, *this);
    flush();
    show_new_utterances();
    return std::move(out_);
  }
  // The level of each heading utterance made, in order.
  std::vector<std::uint8_t> take_heading_levels() { return std::move(heading_levels_); }

  // Natural reading: the code blocks announced.
  std::vector<std::size_t> take_block_starts() { return std::move(block_starts_); }
  std::vector<ParsedMarkdownDocument::CodeBlockNote> take_code_blocks() {
    return std::move(code_notes_);
  }
  // Natural reading: the task items.
  std::vector<ParsedMarkdownDocument::TaskItemNote> take_task_items() {
    return std::move(task_notes_);
  }

 private:
  friend int md_parse_into<Walker>(std::string_view, Walker&);

  bool natural() const { return mode_ == ReadingMode::Natural; }

  // md4c on a second thread, its events replayed here as they come; false when no thread could
  // be started (nothing was read then).
  bool run_pipelined(std::string_view read) {
    BatchChannel<EventBatch> events(kEventBatchesInFlight);
    ScopedWorker parser([&events] { events.cancel(); });
    if (!parser.start([&events, read, keep_code = natural()] {
          EventRecorder recorder(events, read, keep_code);
          md_parse_into(read, recorder);
          recorder.finish();
        })) {
      return false;
    }
    while (std::optional<EventBatch> batch = events.take()) {
      for (const Event& e : *batch) replay(e);
      events.give_back(std::move(*batch));
      show_new_utterances();
    }
    parser.join();
    return true;
  }

  void show_new_utterances() {
    if (watcher_ && shown_ < out_.size()) {
      watcher_(std::span(out_).subspan(shown_));
      shown_ = out_.size();
    }
  }

  void replay(const Event& e) {
    switch (e.what) {
      case Event::EnterBlock: {
        if (e.type == MD_BLOCK_CODE) {
          MD_BLOCK_CODE_DETAIL code{};
          code.lang.text = e.text;
          code.lang.size = e.text != nullptr ? e.size : 0;
          code.fence_char = e.own;
          enter_block(MD_BLOCK_CODE, &code);
          break;
        }
        if (e.type == MD_BLOCK_H) {
          MD_BLOCK_H_DETAIL h{static_cast<unsigned>(e.size)};
          enter_block(MD_BLOCK_H, &h);
          break;
        }
        MD_BLOCK_LI_DETAIL li{};
        li.is_task = e.size != 0 ? 1 : 0;
        li.task_mark = e.own;
        enter_block(static_cast<MD_BLOCKTYPE>(e.type), &li);
        break;
      }
      case Event::LeaveBlock:
        leave_block(static_cast<MD_BLOCKTYPE>(e.type));
        break;
      case Event::EnterSpan:
        enter_span(static_cast<MD_SPANTYPE>(e.type));
        break;
      case Event::LeaveSpan:
        leave_span(static_cast<MD_SPANTYPE>(e.type));
        break;
      case Event::Text:
        text(static_cast<MD_TEXTTYPE>(e.type), e.text != nullptr ? e.text : &e.own, e.size);
        break;
    }
  }

  // ---- the stack of open blocks -------------------------------------------------------------

  Context& push(ContextKind kind) {
    if (depth_ == stack_.size()) stack_.emplace_back();
    Context& c = stack_[depth_++];
    c.kind = kind;
    c.task = TaskState::None;
    c.header = false;
    c.text.clear();
    c.segments.clear();
    c.range.reset();
    c.first_content = kNoPos;
    c.first_content_cell = 0;
    c.cell_count = 0;
    c.last_source_end = kNoPos;
    c.space_pending = false;
    c.spoken_before = false;
    return c;
  }

  // The popped context, valid until the next push; null when the stack is empty or the top is
  // of another kind (which is then discarded).
  Context* pop(ContextKind kind) {
    if (depth_ == 0) return nullptr;
    Context& c = stack_[--depth_];
    return c.kind == kind ? &c : nullptr;
  }

  Context* text_target() {
    for (std::size_t i = depth_; i-- > 0;) {
      if (stack_[i].kind != ContextKind::TableRow) return &stack_[i];
    }
    return nullptr;
  }

  Context* innermost(ContextKind a, ContextKind b) {
    for (std::size_t i = depth_; i-- > 0;) {
      if (stack_[i].kind == a || stack_[i].kind == b) return &stack_[i];
    }
    return nullptr;
  }

  Context* current_row() { return innermost(ContextKind::TableRow, ContextKind::TableRow); }

  void finalize(Context& c, UtteranceKind kind) {
    if (natural()) {
      note_block_start();
      append_natural_utterances(out_, c.text, c.range, kind, c.segments, map_, source_);
    } else {
      append_utterances(out_, c.text, c.range, kind, c.segments, &map_);
    }
  }

  // Natural reading: the next utterance starts a block. A block that gave no utterance leaves
  // its start to the next one.
  void note_block_start() {
    if (block_starts_.empty() || block_starts_.back() != out_.size()) {
      block_starts_.push_back(out_.size());
    }
  }

  // Natural reading: a block nested in a list item or block quote comes after the text the
  // container gathered so far, which is spoken first; the container starts gathering afresh.
  void speak_containers_so_far() {
    for (std::size_t i = 0; i < depth_; ++i) {
      Context& c = stack_[i];
      if (c.kind != ContextKind::Item && c.kind != ContextKind::BlockQuote) continue;
      if (!c.range) continue;
      if (c.kind == ContextKind::Item) {
        complete_item(c);
      } else {
        finalize(c, UtteranceKind::BlockQuote);
      }
      c.spoken_before = true;
      c.text.clear();
      c.segments.clear();
      c.range.reset();
      c.last_source_end = kNoPos;
      c.space_pending = false;
    }
  }

  // ---- block events ----------------------------------------------------------------------------

  void enter_block(MD_BLOCKTYPE type, void* detail) {
    flush();
    if (natural()) {
      switch (type) {
        case MD_BLOCK_QUOTE:
        case MD_BLOCK_UL:
        case MD_BLOCK_OL:
        case MD_BLOCK_H:
        case MD_BLOCK_CODE:
        case MD_BLOCK_TABLE:
          speak_containers_so_far();
          break;
        default:
          break;
      }
      if (type == MD_BLOCK_CODE) open_code_block(static_cast<const MD_BLOCK_CODE_DETAIL*>(detail));
      if (type == MD_BLOCK_TABLE) header_cells_.clear();
    }
    switch (type) {
      case MD_BLOCK_QUOTE:
        push(ContextKind::BlockQuote);
        break;
      case MD_BLOCK_LI: {
        Context& item = push(ContextKind::Item);
        const auto* li = static_cast<const MD_BLOCK_LI_DETAIL*>(detail);
        if (li != nullptr && li->is_task) {
          item.task = li->task_mark == ' ' ? TaskState::Unchecked : TaskState::Checked;
        }
        break;
      }
      case MD_BLOCK_H:
        push(ContextKind::Heading);
        heading_level_ =
            detail != nullptr
                ? static_cast<std::uint8_t>(static_cast<const MD_BLOCK_H_DETAIL*>(detail)->level)
                : 1;
        break;
      case MD_BLOCK_P:
        push(ContextKind::Paragraph);
        break;
      case MD_BLOCK_CODE:
        if (skip_depth_ < std::numeric_limits<std::size_t>::max()) ++skip_depth_;
        break;
      case MD_BLOCK_THEAD:
        in_head_ = true;
        break;
      case MD_BLOCK_TR:
        push(ContextKind::TableRow).header = in_head_;
        break;
      case MD_BLOCK_TH:
      case MD_BLOCK_TD:
        if (depth_ > 0 && stack_[depth_ - 1].kind == ContextKind::TableRow) {
          ++stack_[depth_ - 1].cell_count;
        }
        push(ContextKind::TableCell);
        break;
      default:
        break;
    }
  }

  void leave_block(MD_BLOCKTYPE type) {
    flush();
    switch (type) {
      case MD_BLOCK_QUOTE:
        if (Context* c = pop(ContextKind::BlockQuote)) finalize(*c, UtteranceKind::BlockQuote);
        break;
      case MD_BLOCK_LI:
        if (Context* c = pop(ContextKind::Item)) complete_item(*c);
        break;
      case MD_BLOCK_H:
        if (Context* c = pop(ContextKind::Heading)) {
          const std::size_t before = out_.size();
          finalize(*c, UtteranceKind::Heading);
          heading_levels_.insert(heading_levels_.end(), out_.size() - before, heading_level_);
        }
        break;
      case MD_BLOCK_P:
        if (Context* c = pop(ContextKind::Paragraph)) complete_paragraph(*c);
        break;
      case MD_BLOCK_CODE:
        if (skip_depth_ > 0) --skip_depth_;
        if (code_block_.open) close_code_block();
        break;
      case MD_BLOCK_THEAD:
        in_head_ = false;
        break;
      case MD_BLOCK_TR:
        if (Context* c = pop(ContextKind::TableRow)) complete_row(*c);
        break;
      case MD_BLOCK_TH:
      case MD_BLOCK_TD:
        if (Context* c = pop(ContextKind::TableCell)) complete_cell(*c);
        break;
      default:
        break;
    }
  }

  void complete_paragraph(Context& paragraph) {
    if (Context* owner = innermost(ContextKind::Item, ContextKind::BlockQuote)) {
      if (paragraph.range) {
        if (natural()) {
          append_natural_text(*owner, paragraph.text, paragraph.range, source_, Join::Space,
                              paragraph.segments);
        } else {
          append_text(*owner, paragraph.text, paragraph.range, paragraph.segments);
        }
      }
      return;
    }
    finalize(paragraph, UtteranceKind::Paragraph);
  }

  void complete_item(Context& item) {
    if (item.task == TaskState::None && !item.spoken_before) read_task_box(item);
    if (item.task == TaskState::None || item.spoken_before) {
      finalize(item, UtteranceKind::Item);
      return;
    }
    const std::string_view word = item.task == TaskState::Checked ? kDonePrefix : kTodoPrefix;
    std::string text;
    text.reserve(word.size() + 1 + item.text.size());
    text.append(word);
    text.push_back(' ');
    const std::size_t prefix = text.size();
    text.append(item.text);
    Segments segments;
    segments.reserve(item.segments.size() + 1);
    if (item.range) {
      const SourceSpan marker = task_marker_range(item.range->first);
      add_segment(segments, 0, word.size(), marker.first, marker.second);
    }
    add_clipped(segments, item.segments, 0, item.text.size(), prefix);
    if (natural()) {
      note_block_start();
      task_notes_.push_back({out_.size(), item.task == TaskState::Checked});
      append_natural_utterances(out_, text, item.range, UtteranceKind::Item, segments, map_,
                                source_);
    } else {
      append_utterances(out_, text, item.range, UtteranceKind::Item, segments, &map_);
    }
  }

  // md4c misses the task box of some items (one after an item that holds a block quote): an
  // item whose text starts with `[ ]`, `[x]` or `[X]` and a blank, where the box stands in the
  // source right after the item's list marker, is a task item all the same.
  void read_task_box(Context& item) {
    if (!item.range || item.text.size() < 5) return;
    const std::size_t box = item.range->first;
    if (box + 4 > source_.size() || source_.compare(box, 3, item.text, 0, 3) != 0) return;
    const char mark = source_[box + 1];
    if (source_[box] != '[' || source_[box + 2] != ']' || item.text[3] != ' ' ||
        (mark != ' ' && mark != 'x' && mark != 'X') ||
        !std::isspace(static_cast<unsigned char>(source_[box + 3]))) {
      return;
    }
    if (!follows_list_marker(box)) return;
    item.task = mark == ' ' ? TaskState::Unchecked : TaskState::Checked;
    Segments rest;
    add_clipped(rest, item.segments, 4, item.text.size(), 0);
    item.segments = std::move(rest);
    item.text.erase(0, 4);
    std::size_t start = box + 3;
    if (!item.segments.empty()) {
      start = item.segments.front().source_begin;
    } else {
      while (start < source_.size() && std::isspace(static_cast<unsigned char>(source_[start])))
        ++start;
    }
    item.range->first = std::min(start, item.range->second);
  }

  // Whether only blanks stand between `pos` and a list marker that opens its line (after
  // indentation and block-quote markers).
  bool follows_list_marker(std::size_t pos) const {
    std::size_t i = pos;
    while (i > 0 && (source_[i - 1] == ' ' || source_[i - 1] == '\t')) --i;
    if (i == pos || i == 0) return false;
    if (source_[i - 1] == '-' || source_[i - 1] == '*' || source_[i - 1] == '+') {
      --i;
    } else if (source_[i - 1] == '.' || source_[i - 1] == ')') {
      --i;
      const std::size_t digits_end = i;
      while (i > 0 && source_[i - 1] >= '0' && source_[i - 1] <= '9') --i;
      if (i == digits_end || digits_end - i > 9) return false;
    } else {
      return false;
    }
    while (i > 0 && (source_[i - 1] == ' ' || source_[i - 1] == '\t' || source_[i - 1] == '>')) --i;
    return i == 0 || source_[i - 1] == '\n' || source_[i - 1] == '\r';
  }

  // The `[ ]` or `[x]` before an item's first content at `content`, or that position alone.
  // White space and the openers of inline spans may stand between them.
  SourceSpan task_marker_range(std::size_t content) const {
    std::size_t end = std::min(content, source_.size());
    while (end > 0 && std::strchr(" \t\r\n\v\f[*_<`~!", source_[end - 1]) != nullptr) --end;
    if (end >= 3 && source_[end - 1] == ']' && source_[end - 3] == '[') return {end - 3, end};
    return {content, content};
  }

  void complete_cell(Context& cell) {
    if (depth_ == 0 || stack_[depth_ - 1].kind != ContextKind::TableRow) return;
    Context& row = stack_[depth_ - 1];
    std::string text = normalize_mapped(cell.text, cell.segments);
    if (natural()) {
      // A body cell is read after its column's header: "Name: Ann".
      const std::size_t column = row.cell_count == 0 ? 0 : row.cell_count - 1;
      if (row.header) {
        if (header_cells_.size() <= column) header_cells_.resize(column + 1);
        header_cells_[column] = text;
      } else if (!text.empty() && column < header_cells_.size() && !header_cells_[column].empty()) {
        if (!row.text.empty()) row.text.append("; ");
        row.text.append(header_cells_[column]).append(": ");
        add_clipped(row.segments, cell.segments, 0, text.size(), row.text.size());
        row.text.append(text);
        text.clear();
      }
    }
    if (!text.empty()) {
      if (!row.text.empty()) row.text.append(row.header ? ", " : "; ");
      add_clipped(row.segments, cell.segments, 0, text.size(), row.text.size());
      row.text.append(text);
    }
    if (cell.range) widen(row.range, *cell.range);
  }

  void complete_row(Context& row) {
    if (row.first_content != kNoPos) {
      widen(row.range, table_row_range(source_, row.first_content, row.first_content_cell));
    }
    // A body row read with its headers ends as a sentence does.
    if (natural() && !row.header && !row.text.empty() && !text::ends_sentence(row.text.back())) {
      row.text.push_back('.');
    }
    finalize(row, UtteranceKind::TableRow);
  }

  // ---- span events ------------------------------------------------------------------------------

  void enter_span(MD_SPANTYPE type) {
    inline_seen_ = true;
    text_open_ = false;
    fresh_link_ = type == MD_SPAN_A;
    spans_.push_back({smart_.mark()});
    switch (type) {
      case MD_SPAN_IMG:
        if (natural() && skip_depth_ == 0 && !image_.open) {
          open_image();
        } else if (skip_depth_ < std::numeric_limits<std::size_t>::max()) {
          ++skip_depth_;
        }
        break;
      case MD_SPAN_CODE:
        in_code_ = true;
        code_.clear();
        code_segments_.clear();
        code_first_ = kNoPos;
        code_last_ = 0;
        code_from_ = cursor_;
        break;
      default:
        break;
    }
  }

  void leave_span(MD_SPANTYPE type) {
    text_open_ = false;
    fresh_link_ = false;
    if (!spans_.empty()) {
      smart_.drop_to(spans_.back().quote_mark);
      spans_.pop_back();
    }
    if (type == MD_SPAN_IMG) {
      if (skip_depth_ > 0) {
        --skip_depth_;
      } else if (image_.open) {
        close_image();
      }
    } else if (type == MD_SPAN_CODE && in_code_) {
      in_code_ = false;
      close_code_span();
    }
  }

  void close_code_span() {
    std::optional<SourceSpan> range;
    if (code_first_ != kNoPos) {
      range = code_span_range(source_, code_first_, code_last_);
    } else {
      range = empty_code_span_range(source_, code_from_);
    }
    if (range) note_content(range->first, range->second);
    if (skip_depth_ > 0) return;
    Piece piece{PieceKind::Code};
    piece.begin = run_.size();
    append_inline_code(run_, code_, code_segments_);
    piece.end = run_.size();
    piece.first_segment = run_segments_.size();
    run_segments_.insert(run_segments_.end(), code_segments_.begin(), code_segments_.end());
    piece.last_segment = run_segments_.size();
    if (range) {
      piece.start = range->first;
      piece.stop = range->second;
    }
    pieces_.push_back(piece);
  }

  bool inside_autolink() const { return !spans_.empty() && spans_.back().autolink; }

  // ---- text events ------------------------------------------------------------------------------

  // md4c's own strings (line ends, the space that joins the lines of a code span) are single
  // characters; anything longer that does not lie in the source is not read.
  static bool own_string(MD_SIZE size) { return size <= 1; }

  // Offset of `text` in the source, or kNoPos when md4c handed over a string of its own.
  std::size_t offset_of(const MD_CHAR* text, MD_SIZE size) const {
    auto p = reinterpret_cast<std::uintptr_t>(text);
    auto base = reinterpret_cast<std::uintptr_t>(source_.data());
    if (p < base || p - base > source_.size() || source_.size() - (p - base) < size) return kNoPos;
    return static_cast<std::size_t>(p - base);
  }

  // Content was seen at [start, end): it places pending breaks and the current table row.
  void note_content(std::size_t start, std::size_t end) {
    cursor_ = end;
    if (unresolved_breaks_ != kNoPos) {
      for (std::size_t i = unresolved_breaks_; i < pieces_.size(); ++i) {
        if (pieces_[i].kind == PieceKind::Break && pieces_[i].next == kNoPos)
          pieces_[i].next = start;
      }
      unresolved_breaks_ = kNoPos;
    }
    if (depth_ >= 2 && stack_[depth_ - 1].kind == ContextKind::TableCell &&
        stack_[depth_ - 2].kind == ContextKind::TableRow) {
      Context& row = stack_[depth_ - 2];
      if (row.first_content == kNoPos) {
        row.first_content = start;
        row.first_content_cell = row.cell_count == 0 ? 0 : row.cell_count - 1;
      }
    }
  }

  // The text piece that consecutive text events extend.
  Piece& open_text_piece() {
    if (!text_open_) {
      Piece piece{PieceKind::Text};
      piece.begin = piece.end = run_.size();
      piece.first_segment = piece.last_segment = run_segments_.size();
      if (std::exchange(alt_first_, false)) piece.join = Join::Space;
      pieces_.push_back(piece);
      text_open_ = true;
    }
    return pieces_.back();
  }

  void extend_text_piece(std::size_t start, std::size_t stop) {
    Piece& piece = pieces_.back();
    piece.end = run_.size();
    piece.last_segment = run_segments_.size();
    if (start == kNoPos) return;
    if (piece.start == kNoPos) {
      piece.start = start;
      piece.stop = stop;
    } else {
      piece.start = std::min(piece.start, start);
      piece.stop = std::max(piece.stop, stop);
    }
  }

  // One handler per kind of text.
  void text(MD_TEXTTYPE type, const MD_CHAR* text, MD_SIZE size) {
    if (type != MD_TEXT_BR && type != MD_TEXT_SOFTBR) inline_seen_ = true;
    const bool fresh_link = std::exchange(fresh_link_, false);
    switch (type) {
      case MD_TEXT_NORMAL:
        return normal_text(text, size, fresh_link);
      case MD_TEXT_ENTITY:
        return character_reference(text, size);
      case MD_TEXT_NULLCHAR:
        return null_character();
      case MD_TEXT_BR:
      case MD_TEXT_SOFTBR:
        return line_break(type == MD_TEXT_BR);
      case MD_TEXT_CODE:
        return code_text(text, size);
      case MD_TEXT_HTML:
        return html_text(text, size);
      default:
        return;
    }
  }

  // The step every text with a place in the source shares: it is content there (for breaks and
  // table rows) and the last text seen. False when the text is not spoken.
  bool seen(std::size_t at, std::size_t size) {
    if (at != kNoPos) {
      note_content(at, at + size);
      last_text_end_ = at + size;
    }
    return skip_depth_ == 0;
  }

  // Adds to the current text piece what `write` appends to the run, read from `size` bytes at
  // `at`; unless `write` maps its own bytes, they map to those as a whole.
  template <class Write>
  void add_to_piece(std::size_t at, std::size_t size, Write write, bool maps_itself = false) {
    open_text_piece();
    const std::size_t from = run_.size();
    write();
    if (at != kNoPos && !maps_itself) add_segment(run_segments_, from, run_.size(), at, at + size);
    extend_text_piece(at, at == kNoPos ? 0 : at + size);
  }

  void normal_text(const MD_CHAR* text, MD_SIZE size, bool fresh_link) {
    const std::size_t at = offset_of(text, size);
    if (at == kNoPos && !own_string(size)) return;
    if (fresh_link && at != kNoPos && at > 0 && source_[at - 1] == '<' && !spans_.empty()) {
      spans_.back().autolink = true;
    }
    const bool smart = at != kNoPos && !inside_autolink();
    // md4c hands a backslash-escaped character over alone, right after its backslash.
    const bool escaped = at != kNoPos && at > 0 && source_[at - 1] == '\\' && at != last_text_end_;
    if (!seen(at, size)) {
      if (smart) smart_.append(source_, at, size, escaped, false);  // text not spoken pairs too
      return;
    }
    if (smart) {
      add_to_piece(
          at, size, [&] { smart_.append(source_, at, size, escaped); }, true);
    } else {
      add_to_piece(at, size, [&] { run_.append(text, size); });
    }
  }

  void character_reference(const MD_CHAR* text, MD_SIZE size) {
    const std::size_t at = offset_of(text, size);
    if ((at == kNoPos && !own_string(size)) || !seen(at, size)) return;
    add_to_piece(at, size, [&] { append_character_reference(run_, std::string_view(text, size)); });
  }

  // Handed over without a position: it is the next NUL byte in the source.
  void null_character() {
    std::size_t at = kNoPos;
    if (cursor_ < source_.size()) {
      const void* hit = std::memchr(source_.data() + cursor_, 0, source_.size() - cursor_);
      if (hit != nullptr)
        at = static_cast<std::size_t>(static_cast<const char*>(hit) - source_.data());
    }
    if (!seen(at, 1)) return;
    add_to_piece(at, 1, [&] { run_.append("\uFFFD"); });
  }

  void line_break(bool hard) {
    text_open_ = false;
    // A break before any inline content is the line end after a task box that the block's text
    // follows on the next line: no break of the text, nor part of its range.
    if (skip_depth_ > 0 || !inline_seen_) return;
    Piece piece{PieceKind::Break};
    piece.hard = hard;
    piece.after = cursor_;
    if (unresolved_breaks_ == kNoPos) unresolved_breaks_ = pieces_.size();
    pieces_.push_back(piece);
  }

  void code_text(const MD_CHAR* text, MD_SIZE size) {
    std::size_t at = offset_of(text, size);
    if (code_block_.open) return code_block_line(text, size, at);
    if (!in_code_) return;  // code blocks
    if (at == kNoPos && !own_string(size)) return;
    if (at != kNoPos) {
      if (code_first_ == kNoPos) code_first_ = at;
      code_last_ = at + size;
    }
    const std::size_t from = code_.size();
    code_.append(text, size);
    // In a table a pipe inside code is written escaped; the backslash is not code. What is
    // kept maps byte for byte, from each removed backslash to the next.
    const std::size_t source_at = at == kNoPos ? 0 : at - from;  // source of code_[r]
    std::size_t w = from;
    std::size_t kept_from = from;  // where the current run of kept bytes was read
    if (current_row() != nullptr) {
      for (std::size_t r = from; r < code_.size(); ++r) {
        if (code_[r] == '\\' && r + 1 < code_.size() && code_[r + 1] == '|') {
          if (at != kNoPos) {
            add_segment(code_segments_, w - (r - kept_from), w, source_at + kept_from,
                        source_at + r);
          }
          kept_from = r + 1;
          continue;
        }
        code_[w++] = code_[r];
      }
    } else {
      w = code_.size();
    }
    if (at != kNoPos) {
      add_segment(code_segments_, w - (from + size - kept_from), w, source_at + kept_from,
                  at + size);
    }
    code_.resize(w);
  }

  void html_text(const MD_CHAR* text, MD_SIZE size) {
    text_open_ = false;
    const std::size_t at = offset_of(text, size);
    if (at != kNoPos) note_content(at, at + size);
  }

  // ---- handing a run of inline content to its block ---------------------------------------------

  void flush() {
    if (!pieces_.empty()) {
      Context* target = text_target();
      if (target != nullptr) {
        for (const Piece& piece : pieces_) deliver(*target, piece);
      }
      pieces_.clear();
    }
    run_.clear();
    run_segments_.clear();
    text_open_ = false;
    unresolved_breaks_ = kNoPos;
    fresh_link_ = false;
    inline_seen_ = false;
    smart_.reset();
    spans_.clear();
  }

  void deliver(Context& target, const Piece& piece) {
    std::optional<SourceSpan> range;
    if (piece.kind == PieceKind::Break) {
      std::optional<std::size_t> next;
      if (piece.next != kNoPos) next = piece.next;
      const SourceSpan line_end = break_range(source_, piece.after, next, piece.hard);
      if (natural()) {
        append_natural_text(target, " ", line_end, source_, Join::Auto);
      } else {
        append_text(target, " ", line_end);
      }
      return;
    }
    if (piece.start != kNoPos) range = SourceSpan{piece.start, piece.stop};
    const std::string_view text =
        std::string_view(run_).substr(piece.begin, piece.end - piece.begin);
    const std::span<const MapSegment> segments =
        std::span(run_segments_)
            .subspan(piece.first_segment, piece.last_segment - piece.first_segment);
    if (natural()) {
      append_natural_text(target, text, range, source_, piece.join, segments, piece.begin);
    } else {
      append_text(target, text, range, segments, piece.begin);
    }
  }

  // ---- natural reading: images and code blocks ------------------------------------------------

  // An image's alt text is read as "Image: alt text." when it has two words or more (a badge's
  // one word stays silent): the words are gathered as any text, then kept or taken back.
  void open_image() {
    image_ = {true, run_.size(), pieces_.size(), run_segments_.size(), 0};
    add_words(kImageWord, Join::Space);
    image_.alt_from = run_.size();
    alt_first_ = true;
  }

  void close_image() {
    image_.open = false;
    alt_first_ = false;
    std::size_t words = 0;
    bool in_word = false;
    for (std::size_t i = image_.alt_from; i < run_.size(); ++i) {
      const auto c = static_cast<unsigned char>(run_[i]);
      const bool word = std::isalnum(c) != 0 || c >= 0x80;
      if (word && !in_word) ++words;
      in_word = word || (in_word && c != ' ' && c != '\n' && c != '\t');
    }
    if (words < 2) {
      run_.resize(image_.run_size);
      pieces_.resize(image_.piece_count);
      run_segments_.resize(image_.segment_count);
      text_open_ = false;
      return;
    }
    add_words(".", Join::Glued);
  }

  // Words the reading adds, as a piece of their own with no place in the source.
  void add_words(std::string_view words, Join join) {
    text_open_ = false;
    Piece piece{PieceKind::Text};
    piece.begin = run_.size();
    run_.append(words);
    piece.end = run_.size();
    piece.first_segment = piece.last_segment = run_segments_.size();
    piece.join = join;
    pieces_.push_back(piece);
  }

  void open_code_block(const MD_BLOCK_CODE_DETAIL* detail) {
    code_block_ = {};
    code_block_.open = true;
    code_block_.from = cursor_;
    if (detail != nullptr) {
      code_block_.fence = detail->fence_char;
      if (detail->lang.text != nullptr && detail->lang.size > 0) {
        code_block_.language =
            code_language_name(std::string_view(detail->lang.text, detail->lang.size));
      }
    }
  }

  // md4c hands each line of a code block over as its indentation, its text and a line feed of
  // its own.
  void code_block_line(const MD_CHAR* text, MD_SIZE size, std::size_t at) {
    if (at == kNoPos) {
      if (size == 1 && text[0] == '\n') ++code_block_.lines;
      return;
    }
    if (code_block_.first == kNoPos) code_block_.first = at;
    code_block_.last = at + size;
  }

  void close_code_block() {
    code_block_.open = false;
    if (code_block_.lines == 0) return;
    std::size_t start = code_block_.first;
    std::size_t end = code_block_.last;
    if (code_block_.fence != 0) {
      const std::string fence(3, code_block_.fence);
      // The opening fence stands on the line before the first one, or, with no line to go by,
      // is the first run of three fence characters since the content before.
      std::size_t search_from = code_block_.from;
      if (start != kNoPos) {
        const std::size_t line = start == 0 ? 0 : source_.rfind('\n', start - 1) + 1;
        search_from = line < 2 ? 0 : source_.rfind('\n', line - 2) + 1;
      }
      const std::size_t limit = start == kNoPos ? source_.size() : start;
      const std::size_t open = source_.find(fence, search_from);
      if (open != std::string_view::npos && open < limit) start = open;
      // The closing fence stands on the line after the last one, after blanks and quote marks.
      std::size_t line = source_.find('\n', end == 0 || end < start ? start : end);
      if (line != std::string_view::npos) {
        std::size_t p = line + 1;
        while (p < source_.size() && (source_[p] == ' ' || source_[p] == '\t' || source_[p] == '>'))
          ++p;
        if (source_.compare(p, 3, fence) == 0) {
          while (p < source_.size() && source_[p] == code_block_.fence) ++p;
          end = p;
        }
      }
    }
    if (start == kNoPos) return;
    end = std::max(end, start);
    cursor_ = std::max(cursor_, end);
    const SourceSpan range{map_.to_source(start), map_.to_source(end)};
    map_.add(range, {});
    code_notes_.push_back({out_.size(), code_block_.lines, code_block_.language});
    note_block_start();
    out_.push_back(
        Utterance{code_block_announcement(code_block_.language, code_block_.lines, false),
                  range.first, range.second, UtteranceKind::CodeBlock});
  }

  // What the walk reads and what it writes.
  std::string_view source_;  // the text md4c reads (the block fixes included)
  std::size_t parse_from_;   // after a byte order mark and front matter
  ReadingMode mode_;
  std::vector<Utterance> out_;
  std::vector<std::uint8_t> heading_levels_;  // one per heading utterance in `out_`
  std::uint8_t heading_level_ = 1;            // of the heading being read
  const UtteranceWatcher& watcher_;
  std::size_t shown_ = 0;  // utterances the watcher has seen
  SourceMapBuilder map_;

  // The block stack: the open blocks, innermost last. Only the first `depth_` contexts are open;
  // the others keep their buffers for the next push.
  std::vector<Context> stack_;
  std::size_t depth_ = 0;
  std::size_t skip_depth_ = 0;  // code blocks and images around the current event
  bool in_head_ = false;        // inside a table's header

  // The inline run: the content read since the last block event, as pieces over one buffer,
  // handed to the innermost block at the next block event.
  std::string run_;
  Segments run_segments_;  // where the bytes of `run_` came from
  std::vector<Piece> pieces_;
  bool text_open_ = false;                  // the last piece is text that the next text extends
  std::size_t unresolved_breaks_ = kNoPos;  // first break still waiting for what follows it
  SmartPunctuation smart_;
  std::vector<OpenSpan> spans_;  // the inline spans open around the current event
  bool fresh_link_ = false;      // a link opened and no text came yet (autolinks are told so)
  bool inline_seen_ = false;     // any text or span since the last block event
  std::size_t cursor_ = 0;       // where the last positioned content ended
  std::size_t last_text_end_ = kNoPos;  // where the last text event ended (escapes are told so)

  // The code span being read: its text, where that came from, and where its content lies.
  bool in_code_ = false;
  std::string code_;
  Segments code_segments_;
  std::size_t code_first_ = kNoPos;
  std::size_t code_last_ = 0;
  std::size_t code_from_ = 0;  // where to look for the fences of an empty span

  // Natural reading: the table's header cells by column, the image and the code block being
  // read, and the code blocks announced.
  static constexpr std::string_view kImageWord = "Image:";
  std::vector<std::string> header_cells_;
  struct OpenImage {
    bool open = false;
    std::size_t run_size = 0;  // the run, its pieces and segments before the image
    std::size_t piece_count = 0;
    std::size_t segment_count = 0;
    std::size_t alt_from = 0;  // where the alt text starts in the run
  } image_;
  bool alt_first_ = false;  // the alt text's first piece is still to come
  struct OpenCodeBlock {
    bool open = false;
    char fence = 0;              // 0 for an indented block
    std::size_t from = 0;        // where the content before it ended
    std::size_t first = kNoPos;  // its lines' first and last source bytes
    std::size_t last = 0;
    std::size_t lines = 0;
    std::string language;
  } code_block_;
  std::vector<ParsedMarkdownDocument::CodeBlockNote> code_notes_;
  std::vector<std::size_t> block_starts_;  // natural reading: see ParsedMarkdownDocument
  std::vector<ParsedMarkdownDocument::TaskItemNote> task_notes_;
};

}  // namespace

}  // namespace markdown

namespace {

constexpr std::size_t kPadding = 16;

// From this size on, a second thread pays for itself.
constexpr std::size_t kTwoThreadsFrom = std::size_t{64} << 10;

markdown::Reading reading_for(std::size_t size) {
  return size >= kTwoThreadsFrom ? markdown::Reading::TwoThreads : markdown::Reading::OneThread;
}

// Walks `text`, whose first `size` bytes are the source with the fixes inserted at
// `insertions` and the rest NUL padding.
ParsedMarkdownDocument walk(const std::string& text, std::size_t size, std::size_t unread,
                            std::vector<markdown::Insertion> insertions, markdown::Reading reading,
                            ReadingMode mode, const UtteranceWatcher& watcher = {}) {
  TextSourceMap map;
  markdown::Walker walker(std::string_view(text.data(), size), unread, map, std::move(insertions),
                          watcher, mode);
  std::vector<Utterance> utterances = walker.run(reading == markdown::Reading::TwoThreads);
  ParsedMarkdownDocument doc = markdown::assemble_document(std::move(utterances), std::move(map));
  doc.code_blocks = walker.take_code_blocks();
  doc.block_starts = walker.take_block_starts();
  doc.task_items = walker.take_task_items();
  doc.heading_levels = walker.take_heading_levels();
  return doc;
}

}  // namespace

ParsedMarkdownDocument parse_markdown_document(std::string_view source, ReadingMode mode) {
  return markdown::parse_markdown_document(source, reading_for(source.size()), mode);
}

ParsedMarkdownDocument markdown::parse_markdown_document(std::string_view source, Reading reading,
                                                         ReadingMode mode) {
  // md4c 0.4.8 read past the end of its input on some documents (a link cut off by the end of
  // the text, for one); md4c is still given a copy followed by NUL bytes, as after the end of a
  // C string, where any parser behaves. The copy also carries the block fixes.
  const std::size_t unread = markdown::unread_prefix_length(source);
  const std::vector<markdown::BlockFix> fixes = markdown::find_block_fixes(source, unread);
  std::vector<markdown::Insertion> insertions;
  insertions.reserve(fixes.size());
  std::string padded;
  std::size_t added = 0;
  for (const markdown::BlockFix& fix : fixes) added += fix.text.size();
  padded.reserve(source.size() + added + kPadding);
  std::size_t copied = 0;
  for (const markdown::BlockFix& fix : fixes) {
    padded.append(source.substr(copied, fix.at - copied));
    insertions.push_back({padded.size(), fix.text.size()});
    padded.append(fix.text);
    copied = fix.at;
  }
  padded.append(source.substr(copied));
  const std::size_t size = padded.size();
  padded.append(kPadding, '\0');
  return walk(padded, size, unread, std::move(insertions), reading, mode);
}

ParsedMarkdownDocument parse_markdown_document_in_place(std::string& source,
                                                        const UtteranceWatcher& watcher,
                                                        ReadingMode mode) {
  // As above, but the fixes and the padding go into the source's own buffer, back to front so
  // that every byte moves once: a huge document is not held twice.
  const std::size_t unread = markdown::unread_prefix_length(source);
  const std::vector<markdown::BlockFix> fixes = markdown::find_block_fixes(source, unread);
  std::vector<markdown::Insertion> insertions;
  insertions.reserve(fixes.size());
  std::size_t added = 0;
  for (const markdown::BlockFix& fix : fixes) {
    insertions.push_back({fix.at + added, fix.text.size()});
    added += fix.text.size();
  }
  const std::size_t original = source.size();
  const std::size_t size = original + added;
  source.resize(size + kPadding, '\0');
  std::size_t read_end = original;
  std::size_t write_end = size;
  for (auto fix = fixes.rbegin(); fix != fixes.rend(); ++fix) {
    const std::size_t length = read_end - fix->at;
    std::memmove(source.data() + write_end - length, source.data() + fix->at, length);
    write_end -= length + fix->text.size();
    std::memcpy(source.data() + write_end, fix->text.data(), fix->text.size());
    read_end = fix->at;
  }
  return walk(source, size, unread, std::move(insertions), reading_for(size), mode, watcher);
}

}  // namespace mdspeak
