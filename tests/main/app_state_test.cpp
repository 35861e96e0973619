// The host's state over the document store and the playback, against the scripted fake
// synthesizer.
#include "main/app_state.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "markdown/markdown.h"
#include "summary/summary.h"

namespace mdspeak {
namespace {

// Speaks a one-utterance document, "old", so that the spoken table holds one entry.
void speak_old(FakeHost& s) {
  s.answer(LoadDocument{"0", "old", "Old."});
  s.answer(Speak{"0", "old", {}, {}, {}, 1.0f});
  ASSERT_EQ(s.state.spoken().size(), 1u);
}

// Queues the utterances of `list` overlapping [start, ...) as generated text (words mapped to
// their utterance's range), at rate 1.
Result<std::uint64_t> queue(SpeechPlayback& playback, const std::vector<Utterance>& list,
                            std::optional<SupportedLanguage> language = std::nullopt,
                            std::optional<std::uint64_t> start = std::nullopt) {
  SpeechOrder order;
  order.document_id = "doc";
  order.text = SpeechOrder::Text::Generated;
  order.utterances = list;
  order.start_offset = start;
  order.how = Voicing{language, std::nullopt, 1.0f, false};
  return playback.speak(order);
}

std::vector<Utterance> three_utterances() {
  return {{"one", 0, 10, UtteranceKind::Paragraph},
          {"two", 12, 30, UtteranceKind::Item},
          {"three", 32, 50, UtteranceKind::Heading}};
}

TEST(RangeSelectionTest, HalfOpenOverlap) {
  struct Case {
    std::optional<std::uint64_t> start, end;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, {"one", "two", "three"}},
      {15, 33, {"two", "three"}},
      {30, std::nullopt, {"three"}},
      {std::nullopt, 12, {"one"}},
      {50, std::nullopt, {}},
      {0, 0, {}},
      {9, 13, {"one", "two"}},
  };
  const auto utterances = three_utterances();
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const Utterance* u : select_range(utterances, c.start, c.end)) got.push_back(u->text);
    EXPECT_EQ(got, c.want) << c.start.value_or(-1) << ".." << c.end.value_or(-1);
  }
  // With no offsets, an utterance ending at 0 is not selected.
  std::vector<Utterance> empty_span = {{"x", 0, 0, UtteranceKind::Paragraph}};
  EXPECT_TRUE(select_range(empty_span, std::nullopt, std::nullopt).empty());
}

// Loading and preparing need no synthesizer: the engine is created by the first other request,
// once, and a failure to create it is reported by that request and the later ones alike.
TEST(AppStateTest, TheEngineIsCreatedByTheFirstRequestThatNeedsIt) {
  for (bool works : {true, false}) {
    int created = 0;
    auto fake = std::make_shared<FakeTts>();
    fake->set_voices({{"v1", "Alex", Gender::Male, "en-US"}});
    AppState state([&]() -> Result<SpeechEngine> {
      ++created;
      if (!works) return fail(Error("failed to initialize system TTS"));
      return SpeechEngine::create(fake->facade(), make_channel<SpeechEvent>().first);
    });
    state.handle(LoadDocument{"1", "d", "# Title\n\nText.\n"});
    state.handle(PrepareSpeech{"2", "d", std::nullopt, std::nullopt});
    state.handle(PrepareSummary{"3", "d"});
    EXPECT_EQ(created, 0);
    auto init = state.handle(Init{"4"});
    ASSERT_EQ(init.size(), works ? 1u : 2u);
    EXPECT_EQ(std::get<InitResult>(init.back()).available, works);
    auto spoken = state.handle(Speak{"5", "d", {}, {}, {}, 1.0f});
    EXPECT_EQ(std::holds_alternative<SpeakResult>(spoken.front()), works);
    EXPECT_EQ(fake->queued().size(), works ? 2u : 0u);
    EXPECT_EQ(created, 1);
  }
}

TEST(AppStateTest, QueueRecordsEntriesWithSelectionIndexes) {
  FakeHost s = FakeHost::create();
  auto queued = queue(s.state.playback(), three_utterances(), SupportedLanguage::English, 15);
  ASSERT_TRUE(queued.has_value());
  EXPECT_EQ(*queued, 2u);
  ASSERT_EQ(s.state.spoken().size(), 2u);
  EXPECT_EQ(s.state.spoken().handed(0).key, "Fake(1)");
  EXPECT_EQ(s.state.spoken().handed(0).utterance.utterance_index, 0u);
  EXPECT_EQ(s.state.spoken().handed(0).utterance.text(), "two");
  EXPECT_EQ(s.state.spoken().handed(1).utterance.utterance_index, 1u);
  EXPECT_EQ(s.state.spoken().handed(1).utterance.start_offset, 32u);
  // configure, then stop, then speak with interrupt only on the first.
  EXPECT_EQ(s.fake->calls(FakeOp::SetRate), 1);
  EXPECT_EQ(s.fake->calls(FakeOp::Stop), 1);
  auto utterances = s.fake->queued();
  ASSERT_EQ(utterances.size(), 2u);
  EXPECT_TRUE(utterances[0].interrupt);
  EXPECT_FALSE(utterances[1].interrupt);
}

TEST(AppStateTest, FailuresKeepWhatWasQueuedBefore) {
  struct Case {
    FakeOp op;
    int nth;
    std::string want_message;
    std::size_t want_entries;
  };
  const std::vector<Case> cases = {
      {FakeOp::SetRate, 1, "failed to set speech rate", 0},
      {FakeOp::Voices, 1, "failed to enumerate system voices", 0},
      {FakeOp::Stop, 1, "failed to stop speech", 0},
      {FakeOp::Speak, 1, "failed to queue speech", 0},
      {FakeOp::Speak, 2, "failed to queue speech", 1},
  };
  for (const auto& c : cases) {
    FakeHost s = FakeHost::create();
    // A previous queueing leaves entries that any selecting queueing empties first.
    speak_old(s);
    s.fake->fail_nth(c.op, s.fake->calls(c.op) + c.nth);
    auto queued = queue(s.state.playback(), three_utterances());
    ASSERT_FALSE(queued.has_value());
    EXPECT_EQ(queued.error().message, c.want_message);
    EXPECT_EQ(s.state.spoken().size(), c.want_entries);
    for (std::size_t i = 0; i < s.state.spoken().size(); ++i) {
      EXPECT_EQ(s.state.spoken().handed(i).utterance.utterance_index, i);
    }
  }
}

// The synthesizer gets the current and the next utterance; each end hands over one more. A
// failure then has no request to answer: what waits is dropped, what was handed still plays.
TEST(AppStateTest, UtterancesAreHandedOverInAWindowOfTwo) {
  FakeHost s = FakeHost::create();
  std::vector<Utterance> many;
  for (std::uint64_t i = 0; i < 5; ++i) {
    many.push_back(
        {std::to_string(i).insert(0, 1, 'u'), i * 10, i * 10 + 5, UtteranceKind::Paragraph});
  }
  ASSERT_EQ(*queue(s.state.playback(), many), 5u);
  auto texts = [&] {
    std::vector<std::string> out;
    for (const FakeUtterance& u : s.fake->queued()) out.push_back(u.text);
    return out;
  };
  EXPECT_EQ(texts(), (std::vector<std::string>{"u0", "u1"}));
  std::vector<std::uint64_t> ended;
  auto step = [&] {
    s.fake->begin_next();
    s.fake->end_current();
    std::optional<SpeechEvent> event;
    while (s.events.try_recv(event) == TryRecv::Value) {
      auto message = s.state.on_event(*event);
      if (message && std::holds_alternative<UtteranceEnd>(*message)) {
        ended.push_back(std::get<UtteranceEnd>(*message).utterance_index);
      }
    }
  };
  step();
  EXPECT_EQ(texts(), (std::vector<std::string>{"u0", "u1", "u2"}));
  EXPECT_FALSE(s.fake->queued()[2].interrupt);
  s.fake->fail_nth(FakeOp::Speak, 4);
  step();  // handing over u3 fails: u4 is dropped too
  step();
  step();
  EXPECT_EQ(ended, (std::vector<std::uint64_t>{0, 1, 2}));
  EXPECT_TRUE(s.state.spoken().empty());
  EXPECT_FALSE(s.state.spoken().has_waiting());
}

// With a synthesizer that cannot tell whether it is working, an utterance that never begins or
// never ends is given up on once it overran what its remaining text can take; each word heard
// moves that point. Giving up cancels like a stop: no end is reported.
TEST(AppStateTest, AStalledUtteranceIsGivenUpAfterWhatItsTextCanTake) {
  using std::chrono::hours;
  using std::chrono::seconds;
  FakeHost s = FakeHost::create();
  std::string text;
  for (int i = 0; i < 200; ++i) text += "word ";
  s.state.load_document(LoadDocument{"1", "doc", text + "\n\nNext."});
  s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f});
  const auto now = std::chrono::steady_clock::now();
  EXPECT_FALSE(s.state.give_up_if_stalled(now + seconds(100)));  // due to begin: minutes
  s.fake->begin_next();
  s.take_messages();
  EXPECT_FALSE(s.state.give_up_if_stalled(now + seconds(100)));  // 1000 bytes: minutes
  for (int i = 0; i < 199; ++i) s.fake->next_word();
  s.take_messages();
  EXPECT_EQ(s.fake->calls(FakeOp::Stop), 1);
  EXPECT_TRUE(s.state.give_up_if_stalled(now + seconds(100)));  // one word left: seconds
  EXPECT_EQ(s.fake->calls(FakeOp::Stop), 2);
  EXPECT_TRUE(s.state.spoken().empty());
  EXPECT_FALSE(s.state.give_up_if_stalled(now + hours(1)));  // nothing left to wait for
  s.fake->finish_all();
  EXPECT_TRUE(s.take_messages().empty());
}

// With a synthesizer that shows its signs of life, speech is given up only when it has made no
// progress and shown no sign of life for the stall bound: a long number that takes the synthesizer
// a minute and a wait behind another client's speech are not stalls while the synthesizer works.
TEST(AppStateTest, SpeechIsGivenUpOnlyWithoutProgressAndWithoutSignOfLife) {
  using std::chrono::seconds;
  struct Case {
    const char* name;
    bool begun;
    seconds later;       // when the stall is checked, after the speak (or the begin)
    seconds life_after;  // the synthesizer's last sign of life, after the speak (or the begin)
    bool gives_up;
  };
  const std::vector<Case> cases = {
      {"a long number spoken for a minute", true, seconds(60), seconds(59), false},
      {"queued behind another client for minutes", false, seconds(300), seconds(299), false},
      {"quiet for less than the bound", true, seconds(2), seconds(0), false},
      {"frozen after its begin", true, seconds(60), seconds(2), true},
      {"frozen before its begin", false, seconds(6), seconds(0), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost s = FakeHost::create();
    s.state.load_document(
        LoadDocument{"1", "doc", "The total is 123456789012345678901234 dollars.\n\nNext.\n"});
    s.state.speak(Speak{"2", "doc", {}, {}, {}, 0.5f, true});
    if (c.begun) s.fake->begin_next();
    s.take_messages();
    const auto now = std::chrono::steady_clock::now();
    s.fake->set_sign_of_life(now + c.life_after);
    EXPECT_EQ(s.state.give_up_if_stalled(now + c.later), c.gives_up);
    EXPECT_EQ(s.fake->calls(FakeOp::Stop), c.gives_up ? 2 : 1);  // cancelled in the synthesizer
  }
}

// Until something has been heard, a synthesizer that shows no life for three seconds is taken for
// one without an audio output and said so; once the output has worked, the usual bound and
// reason hold.
TEST(AppStateTest, SilenceBeforeAnythingWasHeardIsNoAudioOutputAndComesSooner) {
  using std::chrono::seconds;
  struct Case {
    const char* name;
    bool heard_before;
    seconds later;
    bool gives_up;
    const char* reason;
  } cases[] = {
      {"nothing heard, 4 s quiet", false, seconds(4), true, "no audio output: "},
      {"nothing heard, 2 s quiet", false, seconds(2), false, ""},
      {"heard before, 4 s quiet", true, seconds(4), false, ""},
      {"heard before, 6 s quiet", true, seconds(6), true, "the synthesizer stopped responding"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost s = FakeHost::create();
    s.state.load_document(LoadDocument{"1", "doc", "First one.\n\nSecond one.\n"});
    s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f, true});
    s.fake->begin_next();
    if (c.heard_before) {
      s.fake->end_current();
      s.take_messages();
      s.fake->begin_next();
    }
    s.take_messages();
    const auto now = std::chrono::steady_clock::now();
    s.fake->set_sign_of_life(now);
    ASSERT_EQ(s.state.give_up_if_stalled(now + c.later), c.gives_up);
    if (!c.gives_up) continue;
    auto failed = s.state.take_failure();
    ASSERT_TRUE(failed);
    const auto* f = std::get_if<UtteranceFailed>(&*failed);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->reason.starts_with(c.reason)) << f->reason;
  }
}

// Speech given up on ends in `utterance_failed` for the utterance it stopped at, once, for a
// client that asked for word events; any other client sees what it always saw: no end.
TEST(AppStateTest, SpeechGivenUpOnEndsInUtteranceFailedForClientsWithWordEvents) {
  for (bool word_events : {true, false}) {
    SCOPED_TRACE(word_events);
    FakeHost s = FakeHost::create();
    s.state.load_document(LoadDocument{"1", "doc", "First one.\n\nSecond one.\n"});
    s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f, word_events});
    s.fake->begin_next();
    s.take_messages();
    const auto now = std::chrono::steady_clock::now();
    s.fake->set_sign_of_life(now);
    ASSERT_TRUE(s.state.give_up_if_stalled(now + std::chrono::seconds(6)));
    const std::optional<Message> failed = s.state.take_failure();
    EXPECT_FALSE(s.state.take_failure());
    if (!word_events) {
      EXPECT_FALSE(failed);
      continue;
    }
    ASSERT_TRUE(failed);
    const auto* f = std::get_if<UtteranceFailed>(&*failed);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->utterance_index, 0u);
    EXPECT_EQ(f->text, "First one.");
    // Nothing of the service's was heard yet: the likely cause is said.
    EXPECT_TRUE(f->reason.starts_with("no audio output: ")) << f->reason;
    s.fake->finish_all();
    EXPECT_TRUE(s.take_messages().empty());
  }
}

// An utterance that cannot be handed to the synthesizer after an end is not dropped silently: it
// is reported as failed once the utterance handed before it has ended.
TEST(AppStateTest, AnUtteranceThatCannotBeHandedOverIsReportedAfterTheOnesBeforeIt) {
  FakeHost s = FakeHost::create();
  s.state.load_document(LoadDocument{"1", "doc", "One.\n\nTwo.\n\nThree.\n"});
  s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f, true});
  s.fake->fail_nth(FakeOp::Speak, 3);
  s.fake->begin_next();
  s.fake->end_current();  // "Three." cannot be handed over
  s.take_messages();
  EXPECT_FALSE(s.state.take_failure());  // "Two." is still to be spoken
  s.fake->begin_next();
  s.fake->end_current();
  const std::vector<Message> messages = s.take_messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_TRUE(std::holds_alternative<UtteranceEnd>(messages.back()));
  const std::optional<Message> failed = s.state.take_failure();
  ASSERT_TRUE(failed);
  const auto* f = std::get_if<UtteranceFailed>(&*failed);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->utterance_index, 2u);
  EXPECT_EQ(f->reason, "failed to queue speech");
}

// Every word's source range lies inside its utterance's; a task item's "To do:" and "Done:",
// which come from the box before the item's range, get the empty range at its start.
TEST(AppStateTest, WordRangesStayInsideTheirUtterance) {
  FakeHost s = FakeHost::create();
  const std::string source = "- [ ] Add more voices\n- [x] Read *tables* row by row\n";
  s.state.load_document(LoadDocument{"1", "doc", source});
  s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f, true});
  std::vector<std::string> words;
  for (int utterance = 0; utterance < 2; ++utterance) {
    s.fake->begin_next();
    while (s.fake->next_word()) {
    }
    s.fake->end_current();
    std::optional<UtteranceBegin> begun;
    for (const Message& m : s.take_messages()) {
      if (const auto* b = std::get_if<UtteranceBegin>(&m)) begun = *b;
      const auto* w = std::get_if<UtteranceWord>(&m);
      if (!w) continue;
      ASSERT_TRUE(begun);
      EXPECT_LE(begun->start_offset, w->start_offset) << w->text;
      EXPECT_LE(w->start_offset, w->end_offset) << w->text;
      EXPECT_LE(w->end_offset, begun->end_offset) << w->text;
      words.push_back(w->text + "=" +
                      source.substr(w->start_offset, w->end_offset - w->start_offset));
    }
  }
  EXPECT_EQ(words, (std::vector<std::string>{"To=", "do:=", "Add=Add", "more=more", "voices=voices",
                                             "Done:=", "Read=Read", "tables=tables", "row=row",
                                             "by=by", "row=row"}));
}

TEST(AppStateTest, EmptySelectionTouchesNothingEvenWithoutEngine) {
  FakeHost s = FakeHost::create();
  speak_old(s);
  const int stops = s.fake->calls(FakeOp::Stop);
  auto queued = queue(s.state.playback(), three_utterances(), std::nullopt, 50);
  ASSERT_TRUE(queued.has_value());
  EXPECT_EQ(*queued, 0u);
  EXPECT_EQ(s.state.spoken().size(), 1u);
  EXPECT_EQ(s.fake->calls(FakeOp::Stop), stops);

  SpeechPlayback playback(std::nullopt, "failed to initialize system TTS");
  EXPECT_EQ(queue(playback, three_utterances(), std::nullopt, 50).value_or(99), 0u);
  auto failed = queue(playback, three_utterances());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "failed to initialize system TTS");

  AppState no_text(std::nullopt, std::nullopt);
  EXPECT_EQ(no_text.unavailable_error().message, "system TTS backend is unavailable");
}

TEST(AppStateTest, SpeakIndexesMatchPrepareSpeech) {
  FakeHost s = FakeHost::create();
  const std::string text = "# Title\n\nFirst paragraph here.\n\n- item one\n- item two\n";
  s.state.load_document(LoadDocument{"1", "doc", text});
  auto prepared = std::get<PrepareSpeechResult>(s.state.prepare_speech({"2", "doc", 10, {}}));
  auto spoken = std::get<SpeakResult>(s.state.speak(Speak{"3", "doc", 10, {}, {}, 1.0f}));
  ASSERT_EQ(spoken.queued, prepared.utterances.size());
  // Handed over two at a time; every one is reported as prepared.
  std::vector<UtteranceBegin> begun;
  for (std::size_t i = 0; i < prepared.utterances.size(); ++i) {
    s.fake->begin_next();
    s.fake->end_current();
    for (Message& m : s.take_messages()) {
      if (auto* b = std::get_if<UtteranceBegin>(&m)) begun.push_back(std::move(*b));
    }
  }
  ASSERT_EQ(begun.size(), prepared.utterances.size());
  for (std::size_t i = 0; i < prepared.utterances.size(); ++i) {
    const auto& entry = begun[i];
    EXPECT_EQ(entry.document_id, "doc");
    EXPECT_EQ(entry.utterance_index, prepared.utterances[i].utterance_index);
    EXPECT_EQ(entry.text, prepared.utterances[i].text);
    EXPECT_EQ(entry.start_offset, prepared.utterances[i].start_offset);
    EXPECT_EQ(entry.end_offset, prepared.utterances[i].end_offset);
  }
}

TEST(AppStateTest, ReloadReplacesDocumentButEntriesKeepTheirCopies) {
  FakeHost s = FakeHost::create();
  s.state.load_document(LoadDocument{"1", "doc", "Old text."});
  s.state.speak(Speak{"2", "doc", {}, {}, {}, 1.0f});
  auto loaded =
      std::get<LoadDocumentResult>(s.state.load_document(LoadDocument{"3", "doc", "# New\n\nB."}));
  EXPECT_EQ(loaded.utterance_count, 2u);
  ASSERT_EQ(s.state.spoken().size(), 1u);
  EXPECT_EQ(s.state.spoken().handed(0).utterance.text(), "Old text.");
  auto prepared = std::get<PrepareSpeechResult>(s.state.prepare_speech({"4", "doc", {}, {}}));
  ASSERT_EQ(prepared.utterances.size(), 2u);
  EXPECT_EQ(prepared.utterances[0].text, "New");
  // Replaced again before the memory of the first replacement was given back.
  s.state.load_document(LoadDocument{"5", "doc", "Third."});
  s.state.give_back_memory();
  prepared = std::get<PrepareSpeechResult>(s.state.prepare_speech({"6", "doc", {}, {}}));
  ASSERT_EQ(prepared.utterances.size(), 1u);
  EXPECT_EQ(prepared.utterances[0].text, "Third.");
  EXPECT_EQ(s.state.spoken().handed(0).utterance.text(), "Old text.");
}

// The language and the summary are finished after the load's answer, when a request needs them
// or the service is idle. Whatever comes first, the answers are those of a load that did all at
// once: the summary reads the code blocks as first announced, the utterances as worded in the
// document's language.
TEST(AppStateTest, DeferredLoadWorkGivesTheSameAnswersInAnyOrder) {
  // A Spanish document whose code block is announced in Spanish once the language is known.
  const std::string text =
      "```sh\nmake\nmake install\n```\n\nEste documento explica cómo instalar el programa en "
      "su ordenador y cómo usarlo después desde la terminal con las opciones de la ayuda.\n";
  // The natural reading words its additions, then its summary, in the document's language.
  ParsedMarkdownDocument parsed = parse_markdown_document(text, ReadingMode::Natural);
  announce_code_blocks_in_spanish(parsed);
  word_task_prefixes(parsed, SupportedLanguage::Spanish);
  const std::vector<Utterance> want_summary =
      summarize_document(parsed, SupportedLanguage::Spanish);
  ASSERT_FALSE(want_summary.empty());

  enum class First { Speech, Summary, SpeakSummary, Idle };
  for (First first : {First::Speech, First::Summary, First::SpeakSummary, First::Idle}) {
    SCOPED_TRACE(static_cast<int>(first));
    FakeHost s = FakeHost::create();
    s.state.load_document(LoadDocument{"1", "doc", text, RequestedReading::Natural});
    if (first == First::Idle) {
      EXPECT_TRUE(s.state.settle_one_load());
      EXPECT_FALSE(s.state.settle_one_load());
    }
    if (first == First::SpeakSummary) s.answer(SpeakSummary{"2", "doc", {}, 1.0f});
    std::optional<PrepareSpeechResult> prepared;
    if (first == First::Speech) {
      prepared = std::get<PrepareSpeechResult>(s.state.prepare_speech({"4", "doc", {}, {}}));
    }
    auto summary = std::get<PrepareSummaryResult>(s.state.prepare_summary({"3", "doc"}));
    if (!prepared) {
      prepared = std::get<PrepareSpeechResult>(s.state.prepare_speech({"4", "doc", {}, {}}));
    }
    const PrepareSpeechResult& speech = *prepared;
    EXPECT_EQ(speech.language_code, "es");
    EXPECT_EQ(summary.language_code, "es");
    ASSERT_EQ(summary.utterances.size(), want_summary.size());
    for (std::size_t i = 0; i < want_summary.size(); ++i) {
      EXPECT_EQ(summary.utterances[i].text, want_summary[i].text);
    }
    ASSERT_EQ(speech.utterances.size(), parsed.utterances.size());
    EXPECT_EQ(speech.utterances[0].text, "Bloque de código Shell, 2 líneas.");
    EXPECT_FALSE(s.state.settle_one_load());
  }
}

TEST(AppStateTest, NotLoadedComesFirst) {
  AppState state(std::nullopt, "failed to initialize system TTS");
  const Message want = ErrorResult{"7", "document_not_loaded", "document 'x' is not loaded"};
  auto as_error = [](const Message& m) { return std::get<ErrorResult>(m); };
  for (const Message& got :
       {state.prepare_speech({"7", "x", {}, {}}), state.prepare_summary({"7", "x"}),
        state.speak(Speak{"7", "x", {}, {}, {}, 1.0f}),
        state.speak_summary(SpeakSummary{"7", "x", {}, 1.0f})}) {
    EXPECT_EQ(as_error(got).code, "document_not_loaded");
    EXPECT_EQ(as_error(got).message, as_error(want).message);
  }
}

TEST(AppStateTest, SummaryIsPreparedWholeButSpokenThroughTheRangeSelection) {
  FakeHost s = FakeHost::create();
  s.state.store_document("doc", LoadedDocument{{},
                                               {{"Zero span.", 0, 0, UtteranceKind::Paragraph},
                                                {"Real span.", 5, 9, UtteranceKind::Paragraph}},
                                               SupportedLanguage::Spanish,
                                               {},
                                               {}});
  auto prepared = std::get<PrepareSummaryResult>(s.state.prepare_summary({"1", "doc"}));
  EXPECT_EQ(prepared.language_code, "es");
  EXPECT_EQ(prepared.utterances.size(), 2u);
  auto spoken = std::get<SpeakResult>(s.state.speak_summary(SpeakSummary{"2", "doc", {}, 1.0f}));
  EXPECT_EQ(spoken.queued, 1u);
  ASSERT_EQ(s.state.spoken().size(), 1u);
  EXPECT_EQ(s.state.spoken().handed(0).utterance.text(), "Real span.");
}

// The reading belongs to the stored document: everything that reads the document afterwards
// works on the utterances of the reading it was loaded with. A reading the service does not know
// is refused, and the document stored before under that id stays.
TEST(AppStateTest, ReadingChosenAtLoadIsTheDocuments) {
  FakeHost s = FakeHost::create();
  const std::string text = "* Parent.\n  * Child.\n\n```sh\nls\n```\n";
  struct Case {
    RequestedReading reading;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {RequestedReading::Plain, {"Child.", "Parent."}},
      {RequestedReading::Natural, {"Parent.", "Child.", "Shell code block, 1 line."}},
  };
  for (const Case& c : cases) {
    s.answer(LoadDocument{"1", "doc", text, c.reading});
    const auto prepared =
        std::get<PrepareSpeechResult>(s.answer(PrepareSpeech{"2", "doc", {}, {}}));
    std::vector<std::string> texts;
    for (const PreparedUtterance& u : prepared.utterances) texts.emplace_back(u.text);
    EXPECT_EQ(texts, c.texts);
    // Speech follows the same list.
    const auto spoken = std::get<SpeakResult>(s.answer(Speak{"3", "doc", {}, {}, {}, 1.0f}));
    EXPECT_EQ(spoken.queued, c.texts.size());
    ASSERT_EQ(s.state.spoken().size(), 2u);
    EXPECT_EQ(s.state.spoken().handed(0).utterance.text(), c.texts[0]);
    EXPECT_EQ(s.state.spoken().handed(1).utterance.text(), c.texts[1]);
    s.answer(Stop{"4"});
  }
  const auto refused = std::get<ErrorResult>(
      s.answer(LoadDocument{"5", "doc", "# Other\n", RequestedReading::Unsupported}));
  EXPECT_EQ(refused.code, "unsupported_reading");
  EXPECT_NE(refused.message.find("\"natural\""), std::string::npos);
  EXPECT_NE(refused.message.find("\"plain\""), std::string::npos);
  const auto kept = std::get<PrepareSpeechResult>(s.answer(PrepareSpeech{"6", "doc", {}, {}}));
  EXPECT_EQ(kept.utterances.size(), 3u);
}

// The announcement of a code block is worded in the document's language; the summary is not
// made of announcements.
TEST(AppStateTest, NaturalCodeBlocksSpeakTheDocumentsLanguage) {
  FakeHost s = FakeHost::create();
  struct Case {
    std::string text;
    std::string announcement;
  };
  const std::vector<Case> cases = {
      {"# Uso\n\n```\na\nb\n```\n\nEste programa lee los documentos en voz alta para "
       "que usted pueda escucharlos mientras trabaja en otras cosas de la casa.\n",
       "Bloque de código, 2 líneas."},
      {"# Usage\n\n```\na\n```\n\nThis program reads the documents aloud so that you can "
       "listen to them while you work on other things around the house.\n",
       "Code block, 1 line."},
  };
  for (const Case& c : cases) {
    s.answer(LoadDocument{"1", "doc", c.text, RequestedReading::Natural});
    const auto prepared =
        std::get<PrepareSpeechResult>(s.answer(PrepareSpeech{"2", "doc", {}, {}}));
    ASSERT_EQ(prepared.utterances.size(), 3u);
    EXPECT_EQ(prepared.utterances[1].text, c.announcement);
    EXPECT_EQ(prepared.utterances[1].kind, PreparedUtteranceKind::CodeBlock);
    const auto summary = std::get<PrepareSummaryResult>(s.answer(PrepareSummary{"3", "doc"}));
    for (const PreparedUtterance& u : summary.utterances) {
      EXPECT_EQ(std::string(u.text).find("lock"), std::string::npos) << u.text;
    }
  }
}

}  // namespace
}  // namespace mdspeak

namespace mdspeak {
namespace {

// The synthesizer receives the listed pronunciations; the events still name the source words
// and their source ranges. An invalid list is refused and the one before stays.
TEST(AppStateTest, PronunciationsChangeOnlyWhatTheSynthesizerReceives) {
  FakeHost s = FakeHost::create();
  const Message set = s.answer(SetPronunciations{
      "p", {{"nginx", "engine x", "en"}, {"Visual Studio", "V S", std::nullopt}}});
  ASSERT_TRUE(std::holds_alternative<SetPronunciationsResult>(set));
  EXPECT_EQ(std::get<SetPronunciationsResult>(set).count, 2u);
  const Message refused =
      s.answer(SetPronunciations{"q", {{"ok", "x", std::nullopt}, {"", "y", std::nullopt}}});
  ASSERT_TRUE(std::holds_alternative<ErrorResult>(refused));
  EXPECT_EQ(std::get<ErrorResult>(refused).code, "invalid_pronunciations");
  EXPECT_EQ(std::get<ErrorResult>(refused).message, "entry 2: text is empty");

  const std::string source = "Start *nginx* with Visual Studio now, then stop the server.";
  s.answer(LoadDocument{"1", "doc", source});
  s.answer(Speak{"2", "doc", {}, {}, {}, 1.0f, true});
  ASSERT_EQ(s.fake->queued().size(), 1u);
  EXPECT_EQ(s.fake->queued()[0].text,
            "Start engine x with V S now, then stop the server.");  // "ok" was never set
  s.fake->begin_next();
  while (s.fake->next_word()) {
  }
  s.fake->end_current();
  std::vector<std::string> words;
  for (const Message& m : s.take_messages()) {
    if (const auto* w = std::get_if<UtteranceWord>(&m)) {
      words.push_back(w->text + "=" +
                      source.substr(w->start_offset, w->end_offset - w->start_offset));
    }
    if (const auto* b = std::get_if<UtteranceBegin>(&m)) {
      EXPECT_EQ(b->text, "Start nginx with Visual Studio now, then stop the server.");
    }
  }
  EXPECT_EQ(words, (std::vector<std::string>{
                       "Start=Start", "nginx=nginx", "with=with", "Visual=Visual", "Studio=Studio",
                       "now,=now,", "then=then", "stop=stop", "the=the", "server.=server."}));

  // An empty list puts the texts back as they are.
  s.answer(SetPronunciations{"r", {}});
  s.answer(Speak{"3", "doc", {}, {}, {}, 1.0f});
  EXPECT_EQ(s.fake->queued().back().text,
            "Start nginx with Visual Studio now, then stop the server.");
}

}  // namespace
}  // namespace mdspeak
