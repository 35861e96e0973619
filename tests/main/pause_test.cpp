// Word progress and pause/resume in the host's state, on the scripted fake synthesizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <variant>
#include <vector>

#include "host_fixture.h"

namespace mdspeak {
namespace {

// A letter and a number ("B0"), written without `"B" + std::to_string(...)`, which GCC 12
// wrongly warns about.
std::string tagged(char tag, std::uint64_t number) {
  std::string out(1, tag);
  out += std::to_string(number);
  return out;
}

// "B0", "W0:three@8", "E1": begin, word (with its text and text_start), end, by index.
std::vector<std::string> describe(const std::vector<Message>& messages) {
  std::vector<std::string> out;
  for (const Message& m : messages) {
    if (auto* b = std::get_if<UtteranceBegin>(&m)) {
      out.push_back(tagged('B', b->utterance_index));
    } else if (auto* w = std::get_if<UtteranceWord>(&m)) {
      out.push_back(tagged('W', w->utterance_index) + ":" + w->text + "@" +
                    std::to_string(w->text_start));
    } else if (auto* e = std::get_if<UtteranceEnd>(&m)) {
      out.push_back(tagged('E', e->utterance_index));
    } else {
      out.push_back("?");
    }
  }
  return out;
}

constexpr const char* kText = "One two three four.\n\nFive six.";

Speak speak_words(bool word_events) {
  return Speak{"s", "doc", std::nullopt, std::nullopt, std::nullopt, 1.0f, word_events};
}

TEST(PauseResume, ContinuesFromTheWordBeingHeard) {
  FakeHost h = FakeHost::create();
  h.answer(LoadDocument{"l", "doc", kText});
  EXPECT_EQ(std::get<SpeakResult>(h.answer(speak_words(true))).queued, 2u);
  h.fake->begin_next();
  for (int i = 0; i < 3; ++i) h.fake->next_word();
  EXPECT_EQ(describe(h.take_messages()),
            (std::vector<std::string>{"B0", "W0:One@0", "W0:two@4", "W0:three@8"}));

  EXPECT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
  EXPECT_TRUE(h.fake->pending().empty());  // silenced, nothing left queued
  EXPECT_TRUE(h.fake->finish_all() == 0 && h.take_messages().empty());

  auto resumed = std::get<ResumeResult>(h.answer(Resume{"r", 1.5f, std::nullopt}));
  EXPECT_TRUE(resumed.resumed);
  EXPECT_EQ(resumed.queued, 2u);
  auto queued = h.fake->queued();
  ASSERT_EQ(queued.size(), 4u);
  EXPECT_EQ(queued[2].text, "three four.");
  EXPECT_EQ(queued[2].words, (std::vector<WordMark>{{0, 5}, {6, 11}}));
  EXPECT_TRUE(queued[2].interrupt);
  EXPECT_FLOAT_EQ(queued[2].rate, 1.25f);  // 1.5 on the fake's 0.1/0.5/2.0 scale
  EXPECT_EQ(queued[3].text, "Five six.");

  h.fake->finish_all();
  auto after = h.take_messages();
  EXPECT_EQ(describe(after), (std::vector<std::string>{"B0", "W0:three@8", "W0:four.@14", "E0",
                                                       "B1", "W1:Five@0", "W1:six.@5", "E1"}));
  // The resumed utterance is reported whole, under its own index.
  EXPECT_EQ(std::get<UtteranceBegin>(after[0]).text, "One two three four.");

  EXPECT_FALSE(std::get<PauseResult>(h.answer(Pause{"p2"})).paused);
  EXPECT_FALSE(std::get<ResumeResult>(h.answer(Resume{"r2", std::nullopt, std::nullopt})).resumed);
}

TEST(PauseResume, PositionIsKeptWithoutWordEventsAndBeforeTheFirstBegin) {
  FakeHost h = FakeHost::create();
  h.answer(LoadDocument{"l", "doc", kText});
  h.answer(speak_words(false));
  // Paused before anything began: everything is spoken again from the start.
  EXPECT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
  h.answer(Resume{"r", std::nullopt, std::nullopt});
  h.fake->begin_next();
  h.fake->next_word();
  h.fake->next_word();
  EXPECT_EQ(describe(h.take_messages()), (std::vector<std::string>{"B0"}));
  EXPECT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
  h.answer(Resume{"r", std::nullopt, std::nullopt});
  auto queued = h.fake->queued();
  ASSERT_EQ(queued.size(), 6u);
  EXPECT_EQ(queued[2].text, "One two three four.");
  EXPECT_EQ(queued[4].text, "two three four.");
  EXPECT_FLOAT_EQ(queued[4].rate, 0.5f);  // the rate of the original request
}

TEST(PauseResume, StopSpeakAndReloadingThePausedDocumentForgetThePosition) {
  struct Case {
    const char* name;
    Request after_pause;
    bool still_paused;
  };
  const std::vector<Case> cases = {
      {"stop", Stop{"x"}, false},
      {"speak", speak_words(false), false},
      {"speak summary", SpeakSummary{"x", "doc", std::nullopt, 1.0f}, false},
      {"reload", LoadDocument{"x", "doc", "Other."}, false},
      {"load another id", LoadDocument{"x", "other", "Other."}, true},
      {"prepare", PrepareSpeech{"x", "doc", std::nullopt, std::nullopt}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeHost h = FakeHost::create();
    h.answer(LoadDocument{"l", "doc", kText});
    h.answer(speak_words(true));
    h.fake->begin_next();
    ASSERT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
    h.state.handle(c.after_pause);
    EXPECT_EQ(h.state.paused(), c.still_paused);
    auto resumed = std::get<ResumeResult>(h.answer(Resume{"r", std::nullopt, std::nullopt}));
    EXPECT_EQ(resumed.resumed, c.still_paused);
  }
}

TEST(PauseResume, AFailedStopIsReportedButThePositionKept) {
  FakeHost h = FakeHost::create();
  h.answer(LoadDocument{"l", "doc", kText});
  h.answer(speak_words(false));
  h.fake->begin_next();
  h.fake->fail_always(FakeOp::Stop, "Operation failed");
  auto error = std::get<ErrorResult>(h.answer(Pause{"p"}));
  EXPECT_EQ(error.code, "pause_failed");
  EXPECT_EQ(error.message, "failed to stop speech");
  EXPECT_TRUE(h.state.paused());
}

TEST(PauseResume, SummaryWordsMapToTheirUtterancesRange) {
  FakeHost h = FakeHost::create();
  h.state.store_document("doc",
                         LoadedDocument{{},
                                        {{"A short summary.", 4, 30, UtteranceKind::Paragraph}},
                                        SupportedLanguage::English,
                                        {},
                                        {}});
  h.answer(SpeakSummary{"s", "doc", std::nullopt, 1.0f, true});
  h.fake->finish_all();
  auto messages = h.take_messages();
  ASSERT_EQ(messages.size(), 5u);
  auto word = std::get<UtteranceWord>(messages[2]);
  EXPECT_EQ(word.text, "short");
  EXPECT_EQ(word.text_start, 2u);
  EXPECT_EQ(word.start_offset, 4u);
  EXPECT_EQ(word.end_offset, 30u);
}

// A long utterance without sentence ends goes to the synthesizer in parts of whole words, two at a
// time; the client still sees one utterance: one begin, every word in order, one end. A pause in
// a later part resumes the utterance as a whole from the word being heard.
TEST(PauseResume, ALongUtteranceIsHandedOverInPartsButReportedAsOne) {
  std::string text;
  for (int i = 0; i < 6000; ++i) text += tagged('w', i % 10) + " ";  // three parts
  text.pop_back();
  FakeHost h = FakeHost::create();
  h.answer(LoadDocument{"l", "doc", text});
  h.answer(speak_words(true));
  auto queued = h.fake->queued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_LE(queued[0].text.size(), 8192u);
  EXPECT_EQ(text.compare(0, queued[0].text.size(), queued[0].text), 0);
  h.fake->begin_next();
  while (h.fake->next_word()) {
  }
  h.fake->end_current();
  h.fake->begin_next();
  for (int i = 0; i < 10; ++i) h.fake->next_word();
  auto messages = h.take_messages();
  const std::size_t words_before = messages.size() - 1;  // all but the begin
  EXPECT_EQ(
      std::count_if(messages.begin(), messages.end(),
                    [](const Message& m) { return std::holds_alternative<UtteranceBegin>(m); }),
      1);
  EXPECT_TRUE(std::get<PauseResult>(h.answer(Pause{"p"})).paused);
  auto last = std::get<UtteranceWord>(messages.back());
  h.answer(Resume{"r", std::nullopt, std::nullopt});
  ASSERT_EQ(h.fake->queued().size(), 5u);  // three parts, then the rest again in two
  EXPECT_EQ(h.fake->queued()[3].text.substr(0, last.text.size()), last.text);
  h.fake->finish(100, std::chrono::milliseconds(100));
  auto after = h.take_messages();
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(std::get<UtteranceBegin>(after.front()).text, text);
  EXPECT_EQ(std::get<UtteranceWord>(after[1]).text_start, last.text_start);
  EXPECT_EQ(std::get<UtteranceEnd>(after.back()).text, text);
  // Every word exactly once before the pause, then from the paused word on: 6000 in all.
  EXPECT_EQ(words_before + after.size() - 3, 6000u);
}

// Document words carry the source bytes that produced them, through the markdown source map.
TEST(PauseResume, DocumentWordsMapToTheirSourceBytes) {
  const std::string source = "Say *it's* &amp; `x`, then stop.";
  FakeHost h = FakeHost::create();
  h.answer(LoadDocument{"l", "doc", source});
  h.answer(speak_words(true));
  h.fake->finish_all();
  std::vector<std::string> got;
  for (const Message& m : h.take_messages()) {
    if (auto* w = std::get_if<UtteranceWord>(&m)) {
      got.push_back(w->text + "=" +
                    source.substr(w->start_offset, w->end_offset - w->start_offset));
    }
  }
  EXPECT_EQ(got, (std::vector<std::string>{"Say=Say", "it’s=it's", "x,=x`,", "then=then",
                                           "stop.=stop."}));
}

}  // namespace
}  // namespace mdspeak
