// Transcripts: the cue layout of each form, and a real export's transcript covering every word.
#include "export/transcript.h"

#include <gtest/gtest.h>

#include <regex>

namespace mdspeak::exporting {
namespace {

TimedUtterance sample() {
  // "Quill reads <fast> & well." words at 1.000, 1.400, 1.400 (a lost mark), 2.100.
  TimedUtterance u;
  u.text = "Quill reads <fast> & well.";
  u.start_offset = 9;
  u.end_offset = 40;
  u.start_ms = 900;
  u.end_ms = 2600;
  u.words = {
      {0, 5, 9, 14, 1000}, {6, 11, 15, 20, 1400}, {12, 18, 21, 27, 1400}, {21, 26, 30, 35, 2100}};
  return u;
}

TEST(Transcript, EachFormLaysOutItsCues) {
  struct Case {
    TranscriptFormat format;
    bool per_word;
    std::string expected;
  };
  const Case cases[] = {
      {TranscriptFormat::WebVtt, false,
       "u0 bytes 9-40\n00:00:01.000 --> 00:00:02.600\n<c>Quill</c> "
       "<00:00:01.400><c>reads</c> <c>&lt;fast&gt;</c> &amp; <00:00:02.100><c>well.</c>\n\n"},
      {TranscriptFormat::WebVtt, true,
       "w0 bytes 9-14\n00:00:01.000 --> 00:00:01.400\nQuill\n\n"
       "w1 bytes 15-20\n00:00:01.400 --> 00:00:01.401\nreads\n\n"
       "w2 bytes 21-27\n00:00:01.400 --> 00:00:02.100\n&lt;fast&gt;\n\n"
       "w3 bytes 30-35\n00:00:02.100 --> 00:00:02.600\nwell.\n\n"},
      {TranscriptFormat::Srt, false,
       "1\n00:00:01,000 --> 00:00:02,600\nQuill reads <fast> & well.\n\n"},
      {TranscriptFormat::Srt, true,
       "1\n00:00:01,000 --> 00:00:01,400\nQuill\n\n2\n00:00:01,400 --> 00:00:01,401\nreads\n\n"
       "3\n00:00:01,400 --> 00:00:02,100\n<fast>\n\n4\n00:00:02,100 --> 00:00:02,600\nwell.\n\n"},
  };
  for (const Case& c : cases) {
    TranscriptWriter writer(c.format, c.per_word);
    std::string out;
    writer.add(sample(), out);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(Transcript, NumbersCuesAcrossUtterancesAndSkipsWordlessOnes) {
  TranscriptWriter writer(TranscriptFormat::WebVtt, false);
  std::string out = writer.header();
  TimedUtterance dash;
  dash.text = "—";
  writer.add(dash, out);
  writer.add(sample(), out);
  EXPECT_TRUE(out.starts_with("WEBVTT\n\nNOTE\n"));
  // The wordless first utterance has no cue, but still counts: the cue is named by position.
  EXPECT_NE(out.find("\n\nu1 bytes 9-40\n"), std::string::npos);
  EXPECT_EQ(out.find("u0 "), std::string::npos);
}

TEST(Transcript, TimesAndFormsByPath) {
  EXPECT_EQ(cue_time(0, TranscriptFormat::WebVtt), "00:00:00.000");
  EXPECT_EQ(cue_time(3'723'045, TranscriptFormat::WebVtt), "01:02:03.045");
  EXPECT_EQ(cue_time(360'000'000, TranscriptFormat::Srt), "100:00:00,000");
  EXPECT_EQ(transcript_format_for("/a/b.SRT"), TranscriptFormat::Srt);
  EXPECT_EQ(transcript_format_for("/a/b.vtt"), TranscriptFormat::WebVtt);
  EXPECT_EQ(transcript_format_for("/a/srt"), TranscriptFormat::WebVtt);
}

}  // namespace
}  // namespace mdspeak::exporting
