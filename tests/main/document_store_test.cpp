// The document store alone: what a load leaves for later is finished as far as a request needs,
// once, and a replaced document's answers are the new text's.
#include "main/document_store.h"

#include <gtest/gtest.h>

#include <string>

namespace mdspeak {
namespace {

constexpr const char* kEnglish =
    "# Notes\n\nThis program reads the documents aloud so that you can listen to them while you "
    "work on other things around the house.\n";

TEST(DocumentStore, AFindSettlesAsFarAsItsCallerNeeds) {
  DocumentStore store;
  EXPECT_EQ(store.find("doc"), nullptr);
  EXPECT_EQ(store.load("doc", kEnglish, ReadingMode::Plain), 2u);
  // The language is final for any reader; the summary waits for one that needs it.
  const LoadedDocument* document = store.find("doc");
  ASSERT_NE(document, nullptr);
  EXPECT_EQ(document->language, SupportedLanguage::English);
  EXPECT_TRUE(document->summary.empty());
  ASSERT_TRUE(document->deferred);
  document = store.find("doc", true);
  EXPECT_FALSE(document->summary.empty());
  EXPECT_FALSE(document->deferred);
  EXPECT_FALSE(store.settle_one());
}

TEST(DocumentStore, IdleTimeSettlesOneLoadAtATimeAndAReloadReplaces) {
  DocumentStore store;
  store.load("a", kEnglish, ReadingMode::Plain);
  store.load("b", kEnglish, ReadingMode::Natural);
  EXPECT_TRUE(store.settle_one());
  EXPECT_TRUE(store.settle_one());
  EXPECT_FALSE(store.settle_one());
  EXPECT_FALSE(store.find("a")->deferred);
  EXPECT_EQ(store.find("b")->languages.size(), 2u);  // the natural reading's, once settled

  EXPECT_EQ(store.load("a", "Other text.", ReadingMode::Plain), 1u);
  EXPECT_TRUE(store.settle_one());
  store.give_back_memory();
  ASSERT_EQ(store.find("a")->utterances.size(), 1u);
  EXPECT_EQ(store.find("a")->utterances[0].text, "Other text.");
  EXPECT_EQ(store.find("b")->utterances.size(), 2u);
}

}  // namespace
}  // namespace mdspeak
