// mdspeak as a person runs it: the real binary and the real service, through pipes, and in a
// real terminal (tmux) on the real speech stack for the live tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "support/sink_recorder.h"

namespace mdspeak {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr double kAudible = 0.003;

const char* kSample =
    "# Quill\n"
    "\n"
    "Quill is a small tool that reads your notes aloud.\n"
    "\n"
    "## Install\n"
    "\n"
    "- [ ] Add more voices\n"
    "- Run `make` & enjoy.\n";

const char* kSampleLines[] = {
    "0 heading     1:3-1:8 Quill",
    "1 paragraph   3:1-3:51 Quill is a small tool that reads your notes aloud.",
    "2 heading     5:4-5:11 Install",
    "3 item        7:7-7:22 To do: Add more voices",
    "4 item        8:3-8:22 Run make & enjoy.",
};

std::string quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Mdspeak : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mdspeak-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    write("sample.md", kSample);
    // Positions remembered by the runs stay with the test, away from the person's own.
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path write(const std::string& name, const std::string& content) {
    std::ofstream(dir_ / name, std::ios::binary) << content;
    return dir_ / name;
  }
  // A script the runs can execute, in a folder of its own when `name` says so.
  fs::path write_program(const std::string& name, const std::string& content) {
    fs::create_directories((dir_ / name).parent_path());
    const fs::path path = write(name, content);
    fs::permissions(path, fs::perms::owner_all);
    return path;
  }

  struct Run {
    int status = -1;
    std::string out, err;
  };
  // Runs `mdspeak ARGS` through the shell (with `prefix` before it: variables, a pipe).
  Run run(const std::string& args, const std::string& prefix = "") {
    std::string command = "cd " + quote(dir_) + " && " + prefix + " " MDSPEAK_PATH " " + args +
                          " >out.txt 2>err.txt </dev/null";
    if (prefix.find('|') != std::string::npos) {
      command = "cd " + quote(dir_) + " && " + prefix + " " MDSPEAK_PATH " " + args +
                " >out.txt 2>err.txt";
    }
    Run result;
    int status = std::system(("timeout 60 bash -c " + quote(command)).c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(dir_ / "out.txt");
    result.err = read_file(dir_ / "err.txt");
    return result;
  }

  fs::path dir_;
};

TEST_F(Mdspeak, PrintGivesTheUtterancesWithoutAnySynthesizer) {
  std::string expected;
  for (auto* line : kSampleLines) expected += std::string(line) + "\n";
  std::system(
      ("gzip -c " + quote(dir_ / "sample.md") + " >" + quote(dir_ / "sample.md.gz")).c_str());
  // No speech daemon anywhere: printing needs none.
  const std::string nowhere = "SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock";
  for (auto [args, prefix] : std::vector<std::pair<std::string, std::string>>{
           {"--print sample.md", nowhere},
           {"--print sample.md.gz", nowhere},
           {"--print -", "cat sample.md | " + nowhere}}) {
    auto r = run(args, prefix);
    EXPECT_EQ(r.status, 0) << args << r.err;
    EXPECT_EQ(r.out, expected) << args;
  }
  auto lines = run("--print --lines 5:7 sample.md", nowhere);
  EXPECT_EQ(lines.out, std::string("0 heading     5:4-5:11 Install\n") +
                           "1 item        7:7-7:22 To do: Add more voices\n");
  write("latin1.md", "caf\xe9\n");
  EXPECT_EQ(run("--print --encoding latin1 latin1.md", nowhere).out,
            "0 paragraph   1:1-1:5 caf\xc3\xa9\n");
}

TEST_F(Mdspeak, PrintIntoAPipeClosedEarlyEndsQuietly) {
  // More than a pipe holds, so the reader meets the closed pipe while it still writes.
  std::string long_document;
  for (int i = 0; i < 20000; ++i)
    long_document += "Paragraph number " + std::to_string(i) + ".\n\n";
  write("long.md", long_document);
  for (std::string flag : {"--print", "--print --json"}) {
    std::string command = "cd " + quote(dir_) +
                          " && { SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock " MDSPEAK_PATH
                          " " +
                          flag + " long.md 2>err.txt; echo $? >status.txt; } | head -c 10 >out.txt";
    ASSERT_EQ(std::system(("timeout 60 bash -c " + quote(command)).c_str()), 0) << flag;
    EXPECT_EQ(read_file(dir_ / "status.txt"), "0\n") << flag;
    EXPECT_EQ(read_file(dir_ / "err.txt"), "") << flag;
    EXPECT_EQ(read_file(dir_ / "out.txt").size(), 10u) << flag;
  }
}

// The natural reading by default: a parent item before its sub-item, a code block announced on
// a line of its own. `--reading plain` reads as a client that does not ask; a service that refuses
// the natural reading is asked for the plain one, without a failure.
TEST_F(Mdspeak, PrintsTheNaturalReadingUnlessAskedOrRefused) {
  write("nested.md", "* Parent.\n  * Child.\n\n```sh\nmake\n```\n");
  const std::string natural =
      "0 item        1:3-1:10 Parent.\n"
      "1 item        2:5-2:11 Child.\n"
      "2 code_block  4:1-6:4 Shell code block, 1 line.\n";
  const std::string plain =
      "0 item        2:5-2:11 Child.\n"
      "1 item        1:3-1:10 Parent.\n";
  // A service that knows no natural reading: the member reaches it as a value it refuses.
  write("refusing", "#!/bin/sh\nsed -u 's/\"reading\":\"natural\"/\"reading\":\"old\"/' | " +
                        std::string(MDSPEAK_SERVICE_PATH) + "\n");
  fs::permissions(dir_ / "refusing", fs::perms::owner_all);
  const std::string nowhere = "SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock";
  struct Case {
    std::string args, prefix, out;
  } cases[] = {
      {"--print nested.md", nowhere, natural},
      {"--print --reading natural nested.md", nowhere, natural},
      {"--print --reading plain nested.md", nowhere, plain},
      {"--print nested.md", nowhere + " MDSPEAK_SERVICE=./refusing", plain},
  };
  for (const Case& c : cases) {
    auto r = run(c.args, c.prefix);
    EXPECT_EQ(r.status, 0) << c.args << c.prefix << r.err;
    EXPECT_EQ(r.out, c.out) << c.args << c.prefix;
  }
}

// Printing speaks nothing, so it must not start a speech daemon either (libspeechd would start
// one even for a socket that cannot exist).
TEST_F(Mdspeak, PrintStartsNoSpeechDaemon) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace";
  auto r = run("--print sample.md", "strace -f -qq -e trace=execve -o trace.txt");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string trace = read_file(dir_ / "trace.txt");
  EXPECT_NE(trace.find("mdspeak-service"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("speech-dispatcher"), std::string::npos) << trace;
}

// A long document's head is loaded and spoken while the whole text loads; the reading goes on
// from where the head's speech ended. The service is a script that logs what it is asked.
TEST_F(Mdspeak, ALongDocumentsHeadIsSpokenFirstAndTheRestFollows) {
  std::string source = "Head.\n\n" + std::string(9000, 'x') + "\n\nRest.\n";
  while (source.size() < 300 * 1024) source += std::string(99, 'y') + "\n";
  write("long.md", source);
  const std::size_t cut = source.find("Rest.");
  write("service.py", R"(import json, sys
cut = int(sys.argv[1])
utterances = [{"text": "Head.", "start_offset": 0, "end_offset": 5, "kind": "paragraph"},
              {"text": "Rest.", "start_offset": cut, "end_offset": cut + 5, "kind": "paragraph"}]
log = open("requests.log", "w")
def emit(m):
    sys.stdout.write(json.dumps(m) + "\n")
    sys.stdout.flush()
for line in sys.stdin:
    r = json.loads(line)
    t, i = r["type"], r["id"]
    log.write(json.dumps({k: len(v) if k == "text" else v for k, v in r.items()},
                         sort_keys=True) + "\n")
    log.flush()
    if t == "init":
        emit({"type": "init_result", "id": i, "available": True, "backend": "x", "message": None})
    elif t == "load_document":
        emit({"type": "load_document_result", "id": i, "document_id": "doc", "utterance_count": 2})
    elif t in ("prepare_speech", "prepare_summary"):
        listed = [dict(u, utterance_index=n) for n, u in enumerate(utterances)]
        emit({"type": t + "_result", "id": i, "document_id": "doc", "language_code": "en",
              "utterances": listed if t == "prepare_speech" else []})
    elif t == "speak":
        start, end = r.get("start_offset", 0), r.get("end_offset")
        chosen = [u for u in utterances
                  if u["end_offset"] > start and (end is None or u["start_offset"] < end)]
        emit({"type": "speak_result", "id": i, "document_id": "doc", "queued": len(chosen)})
        for n, u in enumerate(chosen):
            for kind in ("begin", "end"):
                emit({"type": "utterance_" + kind, "document_id": "doc", "utterance_index": n,
                      "start_offset": u["start_offset"], "end_offset": u["end_offset"],
                      "text": u["text"]})
    elif t == "stop":
        emit({"type": "stop_result", "id": i})
)");
  write("service", "#!/bin/sh\nexec python3 service.py " + std::to_string(cut) + "\n");
  fs::permissions(dir_ / "service", fs::perms::owner_all);
  auto r = run("long.md", "MDSPEAK_SERVICE=./service");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1:1 paragraph Head.\n" + std::string("5:1 paragraph Rest.\n")) << r.err;
  const std::string log = read_file(dir_ / "requests.log");
  // In this order: the head's load and its speech up to the cut, the whole text, and the speech
  // of the rest from the end of the head's last utterance.
  const std::vector<std::string> expected = {
      R"("id": "load-head", "reading": "natural", "text": )" + std::to_string(cut) + ",",
      R"("end_offset": )" + std::to_string(cut) + R"(, "id": "speak-1",)",
      R"("id": "load", "reading": "natural", "text": )" + std::to_string(source.size()) + ",",
      R"("id": "speak-2", "rate": 1.0, "start_offset": 5,)"};
  std::size_t at = 0;
  for (const std::string& request : expected) {
    at = log.find(request, at);
    ASSERT_NE(at, std::string::npos) << request << "\nin\n" << log;
  }
}

TEST_F(Mdspeak, BadArgumentsAndBadFilesSayWhatIsWrongInOneLine) {
  write("nul.md", std::string(2000, '\0'));
  write("latin1.md", "caf\xe9\n");
  struct Case {
    std::string args, prefix;
    int status;
    std::string says;
  } cases[] = {
      {"--bogus sample.md", "", 2, "Usage: mdspeak"},
      {"", "", 2, "Usage: mdspeak"},
      {"--rate 9 sample.md", "", 2, "Usage: mdspeak"},
      {"--from 99 sample.md", "", 2, "past the end"},
      {"missing.md", "", 1, "missing.md: No such file or directory"},
      {".", "", 1, "is a directory"},
      {"nul.md", "", 1, "not a text file"},
      {"/dev/zero", "", 1, "not a text file"},
      {"latin1.md", "", 1, "--encoding latin1"},
      {"sample.md", "SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock", 1,
       "no speech synthesizer is available"},
      {"--list-voices", "SPEECHD_ADDRESS=unix_socket:/nonexistent/s.sock", 1,
       "no speech synthesizer is available"},
      {"sample.md", "MDSPEAK_SERVICE=/bin/false", 1, "the speech service stopped unexpectedly"},
  };
  for (auto& c : cases) {
    auto r = run(c.args, c.prefix);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << ": " << r.err;
    EXPECT_TRUE(r.err.starts_with("mdspeak: ")) << r.err;
    EXPECT_EQ(r.out, "");
    if (c.status == 1) {
      EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
    }
  }
}

// A service that gives up on the speech (its synthesizer stopped working): the reader says where
// and why in one line and stops, instead of waiting for an end that never comes.
TEST_F(Mdspeak, SpeechTheServiceGaveUpOnStopsTheReaderWithTheReason) {
  write("one.md", "First paragraph.\n\nSecond paragraph.\n");
  auto service = write("service", R"(#!/usr/bin/env python3
import json, sys
def say(**m): print(json.dumps(m), flush=True)
for line in sys.stdin:
    r = json.loads(line); t = r["type"]; i = r.get("id")
    if t == "init": say(type="init_result", id=i, available=True, backend="fake", message=None)
    elif t == "load_document": say(type="load_document_result", id=i, document_id="doc", utterance_count=2)
    elif t == "prepare_speech":
        say(type="prepare_speech_result", id=i, document_id="doc", language_code="en", utterances=[
            dict(utterance_index=0, text="First paragraph.", start_offset=0, end_offset=16, kind="paragraph"),
            dict(utterance_index=1, text="Second paragraph.", start_offset=18, end_offset=35, kind="paragraph")])
    elif t == "speak":
        say(type="speak_result", id=i, document_id="doc", queued=2)
        u = dict(document_id="doc", utterance_index=0, start_offset=0, end_offset=16, text="First paragraph.")
        say(type="utterance_begin", **u)
        say(type="utterance_failed", reason="the synthesizer stopped responding", **u)
    elif t == "stop": say(type="stop_result", id=i)
)");
  fs::permissions(service, fs::perms::owner_all);
  auto r = run("one.md", "MDSPEAK_SERVICE=" + service.string());
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, "mdspeak: speech stopped at 1:1: the synthesizer stopped responding\n");
}

// A document with two headings, for the runs against the recording service.
const std::string kNotes = "# Notes\n\nFirst paragraph.\n\n## Install\n\nSecond paragraph.\n";

// A service that reads blocks as paragraphs and "# " lines as headings, logs each request and
// speaks every utterance of a speak request (its first word too) but the document "doc"'s last,
// which it begins and never ends (unless FAKE_END is set): the reader is stopped there by a signal,
// like a person quitting. FAKE_DELAY is each utterance's time.
const char* kRecordingService = R"(#!/usr/bin/env python3
import json, os, sys, time
def say(**m): print(json.dumps(m), flush=True)
log = open(os.path.join(os.path.dirname(sys.argv[0]), "requests.log"), "a")
docs = {}
for line in sys.stdin:
    log.write(line); log.flush()
    r = json.loads(line); t = r["type"]; i = r.get("id")
    if t == "init": say(type="init_result", id=i, available=True, backend="fake", message=None)
    elif t == "load_document":
        utterances, pos = docs.setdefault(r["document_id"], []), 0
        utterances.clear()
        for block in r["text"].split("\n\n"):
            body = block.strip("\n")
            if body:
                start = pos + (body.index(" ") + 1 if body.startswith("#") else 0)
                utterances.append(dict(text=r["text"][start:pos + len(body)], start_offset=start,
                    end_offset=pos + len(body), kind="heading" if body.startswith("#") else "paragraph"))
            pos += len(block) + 2
        say(type="load_document_result", id=i, document_id=r["document_id"], utterance_count=len(utterances))
    elif t == "prepare_speech":
        say(type="prepare_speech_result", id=i, document_id="doc", language_code="en",
            utterances=[dict(utterance_index=n, **u) for n, u in enumerate(docs["doc"])])
    elif t == "speak":
        d = r["document_id"]
        chosen = [u for u in docs[d] if u["end_offset"] > r.get("start_offset", 0)]
        say(type="speak_result", id=i, document_id=d, queued=len(chosen))
        for n, u in enumerate(chosen):
            e = dict(document_id=d, utterance_index=n, start_offset=u["start_offset"], end_offset=u["end_offset"])
            say(type="utterance_begin", text=u["text"], **e)
            word = len(u["text"].split(" ")[0])
            say(type="utterance_word", document_id=d, utterance_index=n, start_offset=u["start_offset"],
                end_offset=u["start_offset"] + word, text_start=0, text_end=word)
            time.sleep(float(os.environ.get("FAKE_DELAY", "0")))
            if n + 1 < len(chosen) or d != "doc" or os.environ.get("FAKE_END"): say(type="utterance_end", **e)
    elif t == "stop": say(type="stop_result", id=i)
)";

TEST_F(Mdspeak, QuittingRemembersThePlaceAndResumeContinuesThere) {
  auto service = write_program("fake/service", kRecordingService);
  const std::string doc = kNotes;
  write("notes.md", doc);
  const std::string fake = "MDSPEAK_SERVICE=" + service.string();
  const std::string quits = " timeout --preserve-status -s TERM 1.5";
  // The start offset of each speak request since the last call.
  auto starts = [&] {
    std::vector<long> offsets;
    for (auto& line : split_lines(read_file(dir_ / "fake" / "requests.log"))) {
      std::smatch m;
      if (line.find(R"("type":"speak")") != std::string::npos &&
          std::regex_search(line, m, std::regex(R"("start_offset":(\d+))")))
        offsets.push_back(std::stol(m[1]));
    }
    fs::remove(dir_ / "fake" / "requests.log");
    return offsets;
  };
  const long second = static_cast<long>(doc.find("Second"));
  struct Step {
    std::string note, args, prefix;
    int status;
    long start;
    std::string err;
  } steps[] = {
      {"quit at the second paragraph", "notes.md", fake + quits, 143, 0, ""},
      {"--resume continues there", "--resume notes.md", fake + quits, 143, second, ""},
      {"without a terminal nothing is asked", "notes.md", fake + quits, 143, 0, ""},
      {"--from-start", "--from-start notes.md", fake + quits, 143, 0, ""},
      {"--resume again", "notes.md --resume", fake + quits, 143, second, ""},
      {"read to the end", "--resume notes.md", "FAKE_END=1 " + fake, 0, second, ""},
      {"the end forgets the place", "--resume notes.md", fake + quits, 143, 0, ""},
  };
  for (auto& step : steps) {
    auto r = run(step.args, step.prefix);
    EXPECT_EQ(r.status, step.status) << step.note << ": " << r.err;
    EXPECT_EQ(r.err, step.err) << step.note;
    EXPECT_EQ(starts(), std::vector<long>{step.start}) << step.note;
  }

  // Edited since: the same heading, wherever it moved to.
  write("notes.md", "# Notes\n\nAn introduction.\n\n" + doc.substr(9));
  EXPECT_EQ(run("--resume notes.md", fake + quits).status, 143);
  EXPECT_EQ(starts(),
            std::vector<long>{static_cast<long>(read_file(dir_ / "notes.md").find("Install"))});

  // A damaged positions file: one warning, the top, and a good file again after.
  std::ofstream(dir_ / "state" / "mdspeak" / "positions") << "{\"format\":";
  auto damaged = run("--resume notes.md", fake + quits);
  EXPECT_EQ(damaged.status, 143);
  EXPECT_EQ(split_lines(damaged.err).size(), 1u) << damaged.err;
  EXPECT_TRUE(damaged.err.starts_with("mdspeak: cannot use the remembered positions"))
      << damaged.err;
  EXPECT_EQ(starts(), std::vector<long>{0});
  EXPECT_EQ(run("--resume notes.md", fake + quits).err, "");
  EXPECT_EQ(starts().size(), 1u);

  // Nowhere to write: one warning, and the reading is not harmed.
  write("blocker", "");
  auto unwritable = run("--resume notes.md",
                        "XDG_STATE_HOME=" + (dir_ / "blocker").string() + " " + fake + quits);
  EXPECT_EQ(unwritable.status, 143);
  EXPECT_EQ(split_lines(unwritable.err).size(), 1u) << unwritable.err;
  EXPECT_EQ(starts(), std::vector<long>{0});
}

TEST_F(Mdspeak, TheSleepTimerStopsAtTheEndOfTheSentenceAfterIt) {
  auto service = write_program("fake/service", kRecordingService);
  std::string doc;
  for (int i = 0; i < 12; ++i) doc += "Paragraph " + std::to_string(i) + ".\n\n";
  write("long.md", doc);
  const std::string fake = "MDSPEAK_SERVICE=" + service.string() + " FAKE_DELAY=0.3";
  auto r = run("--sleep 1s long.md", fake);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // Every utterance begun was heard to its end, and the reading stopped well before the last.
  auto heard = split_lines(r.out);
  ASSERT_GE(heard.size(), 3u) << r.out;
  ASSERT_LE(heard.size(), 8u) << r.out;
  EXPECT_NE(read_file(dir_ / "fake" / "requests.log").find(R"("type":"stop")"), std::string::npos);
  // The place kept is the sentence after the last one heard.
  fs::remove(dir_ / "fake" / "requests.log");
  run("--resume long.md",
      "MDSPEAK_SERVICE=" + service.string() + " timeout --preserve-status -s TERM 1");
  auto next = "Paragraph " + std::to_string(heard.size()) + ".";
  EXPECT_NE(read_file(dir_ / "fake" / "requests.log")
                .find(R"("start_offset":)" + std::to_string(doc.find(next))),
            std::string::npos);
}

// ---- Live: the real speech stack ----

TEST_F(Mdspeak, LiveOutputThatIsNotATerminalGetsOneLinePerUtterance) {
  auto r = run("--rate 2 -", "cat sample.md |");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "1:3 heading Quill\n"
            "3:1 paragraph Quill is a small tool that reads your notes aloud.\n"
            "5:4 heading Install\n"
            "7:7 item To do: Add more voices\n"
            "8:3 item Run make & enjoy.\n");
  // The summary's first utterance too, though it begins as soon as the summary is known.
  auto summary = run("--summary --rate 2 sample.md");
  EXPECT_EQ(summary.status, 0) << summary.err;
  auto lines = split_lines(summary.out);
  ASSERT_EQ(lines.size(), 2u) << summary.out;
  EXPECT_TRUE(lines[0].starts_with("1:3 paragraph This file")) << lines[0];
  // Nothing to speak is no error, but is said rather than left to guess. The natural reading
  // announces code that the plain reading leaves silent.
  write("code.md", "```\nonly code\n```\n");
  auto announced = run("--rate 2 code.md");
  EXPECT_EQ(announced.status, 0) << announced.err;
  EXPECT_EQ(announced.out, "1:1 code_block Code block, 1 line.\n");
  for (auto [args, says] : std::vector<std::pair<std::string, std::string>>{
           {"--reading plain code.md", "mdspeak: nothing to read: code.md has no text to speak\n"},
           {"--lines 2:2 sample.md",
            "mdspeak: nothing to read: the chosen part has no text "
            "to speak\n"}}) {
    auto nothing = run(args);
    EXPECT_EQ(nothing.status, 0) << args;
    EXPECT_EQ(nothing.out, "") << args;
    EXPECT_EQ(nothing.err, says) << args;
  }
  // A language or a name is a voice too, said in one line as it is chosen.
  for (const char* asked : {"SPANISH", "es"}) {
    auto chosen = run(std::string("--rate 2 --voice ") + asked + " sample.md");
    EXPECT_EQ(chosen.status, 0) << chosen.err;
    EXPECT_EQ(split_lines(chosen.err).size(), 1u) << chosen.err;
    EXPECT_TRUE(chosen.err.starts_with(std::string("mdspeak: voice '") + asked + "': using "))
        << chosen.err;
  }
  auto voice = run("--voice nosuch sample.md");
  EXPECT_EQ(voice.status, 2);
  EXPECT_EQ(voice.out, "");
  EXPECT_EQ(voice.err, "mdspeak: no voice 'nosuch'; mdspeak --list-voices lists them\n");
}

// An installed reader on a machine without an audio server: a runtime directory with no stack in
// it. speech-dispatcher is started on demand and cannot open an audio output; the reader says so
// in one line and exits 1 instead of waiting in silence.
TEST_F(Mdspeak, LiveWithoutAnAudioOutputSaysSoAndExitsOne) {
  auto runtime = dir_ / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  auto started = Clock::now();
  auto r = run("sample.md",
               "env -u SPEECHD_ADDRESS -u PULSE_SERVER XDG_RUNTIME_DIR=" + runtime.string());
  auto took = Clock::now() - started;
  // The daemon started for this run, if it is still there.
  for (auto& entry : fs::directory_iterator("/proc")) {
    auto args = read_file(entry.path() / "cmdline");
    if (args.find(runtime.string()) != std::string::npos) {
      std::system(("kill -9 " + entry.path().filename().string()).c_str());
    }
  }
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
  EXPECT_TRUE(r.err.starts_with("mdspeak: no audio output: ")) << r.err;
  EXPECT_LT(took, 20s);
}

// The same without any speech stack at all, as on a fresh headless install: the line comes
// within 3 s of the speech being queued (the daemon's own start is not counted), and the
// speech-dispatcher started for the run does not outlive it (one without an audio output
// ignores SIGTERM).
TEST_F(Mdspeak, WithoutAnAudioServerTheLineComesSoonAndNoDaemonIsLeft) {
  if (std::system("command -v speech-dispatcher >/dev/null") != 0) {
    GTEST_SKIP() << "speech-dispatcher is not installed";
  }
  auto runtime = dir_ / "runtime";
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string command = "cd " + quote(dir_) +
                              " && env -u SPEECHD_ADDRESS XDG_RUNTIME_DIR=" + quote(runtime) +
                              " PULSE_SERVER=unix:" + quote(runtime / "none") +
                              " timeout 60 " MDSPEAK_PATH " --json sample.md 2>&1 </dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::optional<Clock::time_point> queued, said;
  std::string said_line;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    if (line.starts_with(R"({"type":"speak_result")")) queued = Clock::now();
    if (line.starts_with("mdspeak: ")) {
      said = Clock::now();
      said_line = line;
    }
  }
  const int status = pclose(pipe);
  std::vector<std::string> left;
  for (auto& entry : fs::directory_iterator("/proc")) {
    if (read_file(entry.path() / "cmdline").find(runtime.string()) != std::string::npos) {
      left.push_back(entry.path().filename().string());
      std::system(("kill -9 " + left.back()).c_str());
    }
  }
  EXPECT_EQ(WEXITSTATUS(status), 1);
  ASSERT_TRUE(said && queued) << said_line;
  EXPECT_TRUE(
      said_line.starts_with("mdspeak: no audio output: speech-dispatcher could not open "
                            "PulseAudio (no server at " +
                            (runtime / "none").string() + ")"))
      << said_line;
  EXPECT_NE(said_line.find(", or use --output FILE"), std::string::npos) << said_line;
  EXPECT_LT(*said - *queued, 3s);
  EXPECT_EQ(left, std::vector<std::string>{}) << "speech-dispatcher left behind";
}

// A terminal of its own, driven by keys like a person would.
class Terminal {
 public:
  // A server of its own each time: one just killed may still be going away under its name.
  explicit Terminal(const fs::path& dir)
      : name_("mdspeak-" + std::to_string(getpid()) + "-" + std::to_string(++count_)), dir_(dir) {
    tmux("new-session -d -x 100 -y 24 -- env PS1='$ ' bash --norc --noprofile");
  }
  ~Terminal() { tmux("kill-server"); }
  void type(const std::string& text) { tmux("send-keys -l " + quote(text)); }
  void keys(const std::string& keys) { tmux("send-keys " + keys); }
  std::string screen() {
    std::string file = (dir_ / "pane.txt").string();
    tmux("capture-pane -p >" + quote(file));
    return read_file(file);
  }
  // Waits until the screen matches; the screen last seen is kept for failure messages.
  bool wait_for(const std::string& pattern, std::chrono::milliseconds timeout = 10s) {
    std::regex re(pattern);
    auto deadline = Clock::now() + timeout;
    do {
      last_ = screen();
      if (std::regex_search(last_, re)) return true;
      std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return false;
  }
  const std::string& last() const { return last_; }

 private:
  void tmux(const std::string& args) {
    [[maybe_unused]] int status = std::system(("tmux -L " + name_ + " " + args).c_str());
  }
  static inline int count_ = 0;
  std::string name_;
  fs::path dir_;
  std::string last_;
};

// The shell has the terminal in its usual modes.
void expect_usual_modes(Terminal& terminal, const std::string& note = "") {
  terminal.type("stty -a | tr ' ' '\\n' | grep -xE -- '-?(echo|icanon|isig)' | tr '\\n' ' '");
  terminal.keys("Enter");
  EXPECT_TRUE(terminal.wait_for("isig icanon echo ")) << note << terminal.last();
}

// Quits the reader with `q` and a command typed right behind it: the reader exits 0 within
// `exit_within`, the command never reaches the shell and the terminal is given back in its usual
// modes. `note` tells the failure messages apart.
void quit_and_check_terminal(Terminal& terminal, std::chrono::milliseconds exit_within,
                             const std::string& note = "") {
  terminal.type("qecho LEAKED");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("EXIT=0", exit_within)) << note << terminal.last();
  EXPECT_EQ(terminal.last().find("LEAKED"), std::string::npos) << note << terminal.last();
  expect_usual_modes(terminal, note);
}

class LiveTerminal : public Mdspeak {
 protected:
  void SetUp() override {
    Mdspeak::SetUp();
    socket_ = SinkRecorder::stack_pulse_socket();
    // The service's output is copied to a log, to see which protocol lines really came.
    auto wrapper = write("service", "#!/bin/sh\n" MDSPEAK_SERVICE_PATH " | tee -a " +
                                        quote(dir_ / "protocol.log") + "\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    write("doc.md",
          "# Listening\n\n"
          "The first paragraph is long enough to be paused in the middle, because it goes on "
          "for quite a while about nothing in particular.\n\n"
          "The second paragraph is where the reader lands after a skip, and it also runs on "
          "for a good while.\n\n"
          "The third paragraph closes the document.\n");
  }
  std::string start_command() const {
    return "MDSPEAK_SERVICE=" + (dir_ / "service").string() + " " MDSPEAK_PATH " " +
           quote(dir_ / "doc.md") + "; echo EXIT=$?";
  }
  std::string log() { return read_file(dir_ / "protocol.log"); }
  // tee writes to the reader before the log: wait a little for the log to catch up.
  bool log_has(const std::string& text) {
    auto deadline = Clock::now() + 3s;
    while (log().find(text) == std::string::npos) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
  // Whether a speak request began at the second paragraph of doc.md (utterance 0 of a request
  // is where it started).
  bool began_at_second_paragraph() {
    const auto second = read_file(dir_ / "doc.md").find("The second");
    return log_has(R"("type":"utterance_begin","document_id":"doc","utterance_index":0,)"
                   R"("start_offset":)" +
                   std::to_string(second));
  }
  std::optional<std::string> socket_;
};

// A live terminal whose sound is recorded from our own stack's sink.
class HeardTerminal : public LiveTerminal {
 protected:
  void SetUp() override {
    LiveTerminal::SetUp();
    if (!socket_) GTEST_SKIP() << "not our speech stack: its sink cannot be recorded";
    ASSERT_TRUE(recorder_.start(*socket_)) << recorder_.error();
    ASSERT_TRUE(recorder_.wait_until_recording(3s));
  }
  SinkRecorder recorder_;
};

TEST_F(HeardTerminal, DisplayPauseResumeSkipAndQuit) {
  Terminal terminal(dir_);
  terminal.type(start_command());
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for(R"(paragraph  3:\d+[\s\S]*The first paragraph)"))
      << terminal.last();
  EXPECT_NE(terminal.last().find("§ Listening"), std::string::npos) << terminal.last();
  std::this_thread::sleep_for(1200ms);

  terminal.keys("Space");
  ASSERT_TRUE(terminal.wait_for("paused")) << terminal.last();
  auto paused = Clock::now();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(recorder_.rms_between(paused + 500ms, Clock::now()), kAudible)
      << "audible while paused";

  terminal.keys("Space");
  ASSERT_TRUE(terminal.wait_for("reading")) << terminal.last();
  auto resumed = Clock::now();
  std::this_thread::sleep_for(1200ms);
  EXPECT_GT(recorder_.rms_between(resumed, Clock::now()), 0.01) << "silent after resume";

  // Two presses at once are a pause and a resume, even before the pause is answered.
  terminal.keys("Space Space");
  EXPECT_TRUE(log_has(R"({"type":"pause_result")")) << log();
  std::this_thread::sleep_for(600ms);
  ASSERT_TRUE(terminal.wait_for("▶ reading")) << terminal.last();
  auto twice = Clock::now();
  std::this_thread::sleep_for(800ms);
  EXPECT_GT(recorder_.rms_between(twice, Clock::now()), 0.01) << "silent after two presses";

  terminal.keys("n");
  ASSERT_TRUE(terminal.wait_for("The second paragraph")) << terminal.last();
  // The skip is a new request that begins with the second paragraph.
  EXPECT_TRUE(began_at_second_paragraph()) << log();

  // Keys typed as the reader quits must not reach the shell.
  quit_and_check_terminal(terminal, 10s);
}

TEST_F(LiveTerminal, QuitInTheMiddleAndTheNextStartOffersToContinueThere) {
  if (!socket_) GTEST_SKIP() << "not our speech stack";
  Terminal terminal(dir_);
  terminal.type(start_command());
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("The first paragraph")) << terminal.last();
  terminal.keys("n");
  ASSERT_TRUE(terminal.wait_for("▶ reading[\\s\\S]*The second paragraph")) << terminal.last();
  terminal.keys("q");
  ASSERT_TRUE(terminal.wait_for("EXIT=0")) << terminal.last();
  fs::remove(dir_ / "protocol.log");

  terminal.type("clear; " + start_command());
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for(R"(Continue at 5:1 'Listening'\? \[Y/n\])")) << terminal.last();
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("paragraph  5:[\\s\\S]*The second paragraph")) << terminal.last();
  EXPECT_TRUE(began_at_second_paragraph()) << log();
  quit_and_check_terminal(terminal, 10s);

  // Answered no: from the top.
  terminal.type("clear; " + start_command());
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for(R"(Continue at 5:1)")) << terminal.last();
  terminal.type("n");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("The first paragraph")) << terminal.last();
  quit_and_check_terminal(terminal, 10s);
}

TEST_F(LiveTerminal, KeysWorkUnechoedWhenTheOutputIsPipedOrJson) {
  if (!socket_) GTEST_SKIP() << "not our speech stack";
  for (const char* options : {"", "--json "}) {
    Terminal terminal(dir_);
    terminal.type("MDSPEAK_SERVICE=" + (dir_ / "service").string() + " " MDSPEAK_PATH " " +
                  options + quote(dir_ / "doc.md") + " | cat; echo EXIT=${PIPESTATUS[0]}");
    terminal.keys("Enter");
    ASSERT_TRUE(terminal.wait_for("The first paragraph")) << terminal.last();
    quit_and_check_terminal(terminal, 5s, options);
  }
}

TEST_F(HeardTerminal, CtrlCStopsSpeechAndExits130) {
  Terminal terminal(dir_);
  terminal.type(start_command());
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("The first paragraph")) << terminal.last();
  terminal.keys("C-c");
  auto interrupted = Clock::now();
  ASSERT_TRUE(terminal.wait_for("EXIT=130")) << terminal.last();
  EXPECT_TRUE(log_has(R"({"type":"stop_result")")) << log();
  std::this_thread::sleep_for(1000ms);
  EXPECT_LT(recorder_.rms_between(interrupted + 500ms, Clock::now()), kAudible)
      << "still speaking after Ctrl-C";
}

TEST_F(HeardTerminal, CtrlZSuspendsInSilenceAndFgComesBackPaused) {
  Terminal terminal(dir_);
  // No `; echo` behind it: the shell would run that as soon as the job stops.
  terminal.type("MDSPEAK_SERVICE=" + (dir_ / "service").string() + " " MDSPEAK_PATH " " +
                quote(dir_ / "doc.md"));
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("The first paragraph")) << terminal.last();
  std::this_thread::sleep_for(1000ms);
  terminal.keys("C-z");
  auto suspended = Clock::now();
  ASSERT_TRUE(terminal.wait_for("Stopped")) << terminal.last();
  std::this_thread::sleep_for(1500ms);
  EXPECT_LT(recorder_.rms_between(suspended + 500ms, Clock::now()), kAudible)
      << "audible while suspended";
  expect_usual_modes(terminal);

  // Cleared, so that the modes checked after the quit are not the ones seen here.
  terminal.type("clear; fg; echo EXIT=$?");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("paused[\\s\\S]*The first paragraph")) << terminal.last();
  terminal.keys("Space");
  ASSERT_TRUE(terminal.wait_for("▶ reading")) << terminal.last();
  auto resumed = Clock::now();
  std::this_thread::sleep_for(1200ms);
  EXPECT_GT(recorder_.rms_between(resumed, Clock::now()), 0.01) << "silent after fg and space";
  quit_and_check_terminal(terminal, 10s);
}

// `w` in a terminal: the place is said as a document of its own, then the reading goes on at the
// utterance it had reached. The service is the recording one: no speech stack needed.
TEST_F(Mdspeak, WhereAmISpeaksTheHeadingsAndPercentThenGoesOn) {
  auto service = write_program("fake/service", kRecordingService);
  const std::string doc = kNotes;
  write("notes.md", doc);
  Terminal terminal(dir_);
  terminal.type("MDSPEAK_SERVICE=" + service.string() + " " MDSPEAK_PATH " " +
                quote(dir_ / "notes.md") + "; echo EXIT=$?");
  terminal.keys("Enter");
  ASSERT_TRUE(terminal.wait_for("▶ reading[\\s\\S]*Second paragraph")) << terminal.last();
  // The service keeps its log open: only what comes after the key is looked at.
  auto before = read_file(dir_ / "fake" / "requests.log").size();
  terminal.keys("w");
  std::vector<std::string> requests;
  for (auto deadline = Clock::now() + 5s; requests.size() < 3 && Clock::now() < deadline;) {
    std::this_thread::sleep_for(50ms);
    requests = split_lines(read_file(dir_ / "fake" / "requests.log").substr(before));
  }
  ASSERT_TRUE(terminal.wait_for("▶ reading[\\s\\S]*Second paragraph")) << terminal.last();
  ASSERT_EQ(requests.size(), 3u) << read_file(dir_ / "fake" / "requests.log");
  EXPECT_NE(requests[0].find(R"("document_id":"where","id":"load-)"), std::string::npos);
  EXPECT_NE(requests[0].find(R"("text":"Section Notes, Install; 62 percent.")"), std::string::npos)
      << requests[0];
  EXPECT_NE(requests[1].find(R"("document_id":"where")"), std::string::npos) << requests[1];
  EXPECT_NE(requests[2].find(R"("document_id":"doc")"), std::string::npos) << requests[2];
  EXPECT_NE(requests[2].find(R"("start_offset":)" + std::to_string(doc.find("Second"))),
            std::string::npos)
      << requests[2];
  quit_and_check_terminal(terminal, 5s);
}

}  // namespace
}  // namespace mdspeak
