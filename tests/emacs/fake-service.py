#!/usr/bin/env python3
"""A scripted stand-in for mdspeak-service that speaks nothing.

Every non-blank line of a loaded text is a block: "# x" a heading, a line
starting with ``` a code block (natural reading only), else a paragraph whose
sentences (cut after ". ") share the line's range, or each have their own with
"reading":"natural". speak begins the first utterance and sends its words,
then waits (a later speak first begins the next utterance of the speech it
replaces); MDSPEAK_FAKE_MODE (comma-separated) changes that:
  finish        speak every utterance to its end
  no-pause      leave pause unanswered
  no-natural    refuse "reading" with unsupported_reading
  unavailable   init says there is no synthesizer
  mute          answer nothing
  dies-init     exit 3 on init
  dies-reading  exit 1 once the first utterance began
  speak-fails   answer speak with an error
  no-export     leave export unanswered
  export-hold   report some progress of an export, then wait for stop
  names-voices  in natural reading, utterance_begin tells the language (Spanish for
                non-ASCII text) and the voice speaking it
  pronounces    take set_pronunciations (else it goes unanswered, as an older
                service leaves a request it does not know)
  refuses-pronunciations  answer set_pronunciations with an error
Every request is appended to MDSPEAK_FAKE_LOG.
"""
import json
import os
import sys

mode = set(os.environ.get("MDSPEAK_FAKE_MODE", "").split(","))
log = open(os.environ["MDSPEAK_FAKE_LOG"], "a")
docs = {}
voice = None  # asked for by the last speak or resume
paused = None  # (doc, utterance, index, word) being heard when paused
exporting = None  # id of the export waiting for stop


def send(kind, **fields):
    print(json.dumps(dict(type=kind, **fields), ensure_ascii=False), flush=True)


def utterances(source, natural):
    out, at = [], 0
    for line in source.split(b"\n"):
        start, end = at, at + len(line)
        at = end + 1
        if line.endswith(b"\r"):
            end -= 1
        if not line.strip():
            continue
        if line.startswith(b"# "):
            out.append(dict(kind="heading", start_offset=start + 2, end_offset=end,
                            text=source[start + 2:end].decode()))
        elif line.startswith(b"```"):
            if natural:
                out.append(dict(kind="code_block", start_offset=start, end_offset=end,
                                text="Code block, 1 lines."))
        else:
            pieces, s = [], start
            while True:
                cut = source.find(b". ", s, end)
                stop = end if cut < 0 else cut + 1
                pieces.append((s, stop))
                if cut < 0:
                    break
                s = cut + 2
            for s, e in pieces:
                out.append(dict(kind="paragraph", text=source[s:e].decode(),
                                start_offset=s if natural else start,
                                end_offset=e if natural else end))
    return out


def words(source, u):
    """The words of a sentence, found in the source by their bytes."""
    found, at = [], u["start_offset"]
    for word in u["text"].split():
        raw = word.encode()
        start = source.find(raw, at, u["end_offset"])
        found.append((start, start + len(raw), word))
        at = start + len(raw)
    return found


def speak_one(doc, u, index, from_word=0):
    global paused
    begin = dict(document_id=doc, utterance_index=index, start_offset=u["start_offset"],
                 end_offset=u["end_offset"], text=u["text"])
    told = dict(begin)
    if "names-voices" in mode and docs[doc]["natural"]:
        spanish = not u["text"].isascii()
        told.update(language_code="es" if spanish else "en",
                    voice_id="es" if spanish else voice or "en-us")
    send("utterance_begin", **told)
    paused = (doc, u, index, from_word)
    if "dies-reading" in mode:
        sys.exit("Error: gone")
    spoken = [] if u["kind"] == "summary" else words(docs[doc]["source"], u)
    for n, (start, end, word) in enumerate(spoken[from_word:]):
        send("utterance_word", document_id=doc, utterance_index=index, start_offset=start,
             end_offset=end, text_start=0, text_end=len(word.encode()), text=word)
        paused = (doc, u, index, from_word + n)
    return begin


for line in sys.stdin:
    log.write(line)
    log.flush()
    if "mute" in mode:
        continue
    r = json.loads(line)
    t, i, doc = r["type"], r["id"], r.get("document_id")
    if t == "init":
        if "dies-init" in mode:
            sys.stderr.write("Error: boom\n")
            sys.stderr.flush()
            sys.exit(3)
        send("init_result", id=i, available="unavailable" not in mode, backend="fake",
             message="no daemon here" if "unavailable" in mode else None)
    elif t == "list_voices":
        send("list_voices_result", id=i, voices=[
            dict(id="en-us", name="English (America)", locale="en-US", language="en"),
            dict(id="es", name="Spanish (Spain)", locale="es-ES", language="es")])
    elif t == "load_document":
        if "reading" in r and "no-natural" in mode:
            send("error_result", id=i, code="unsupported_reading",
                 message="reading must be natural or left out")
            continue
        source = r["text"].encode()
        natural = r.get("reading") == "natural"
        docs[doc] = dict(source=source, list=utterances(source, natural), natural=natural)
        send("load_document_result", id=i, document_id=doc, utterance_count=len(docs[doc]["list"]))
    elif t == "prepare_speech":
        listed = [dict(u, utterance_index=n) for n, u in enumerate(docs[doc]["list"])]
        send("prepare_speech_result", id=i, document_id=doc, language_code="en",
             utterances=listed)
    elif t == "set_pronunciations" and "pronounces" in mode:
        send("set_pronunciations_result", id=i, count=len(r["entries"]))
    elif t == "set_pronunciations" and "refuses-pronunciations" in mode:
        send("error_result", id=i, code="invalid_pronunciations", message="entry 2: empty text")
    elif t in ("speak", "speak_summary"):
        voice = r.get("voice_id")
        if "speak-fails" in mode:
            send("error_result", id=i, code="speak_failed", message="failed to queue speech")
            continue
        if paused:
            # The replaced speech went on to its next utterance just before: the service
            # writes that before the answer.
            stale_doc, before, index, _ = paused
            listed = docs[stale_doc]["list"]
            following = listed[listed.index(before) + 1:] if before in listed else []
            if following:
                speak_one(stale_doc, following[0], index + 1)
        first, last = r.get("start_offset") or 0, r.get("end_offset")
        chosen = [u for u in docs[doc]["list"] if u["end_offset"] > first
                  and (last is None or u["start_offset"] < last)]
        if t == "speak_summary":
            source = docs[doc]["source"]
            chosen = [dict(kind="summary", start_offset=0, end_offset=len(source),
                           text="This document is a test.")]
        send("speak_result", id=i, document_id=doc, queued=len(chosen))
        for n, u in enumerate(chosen if "finish" in mode else chosen[:1]):
            begin = speak_one(doc, u, n)
            if "finish" in mode:
                send("utterance_end", **begin)
    elif t == "pause":
        if "no-pause" not in mode:
            send("pause_result", id=i, paused=paused is not None)
    elif t == "resume":
        voice = r.get("voice_id") or voice
        send("resume_result", id=i, resumed=paused is not None, queued=1)
        if paused:
            speak_one(*paused)
    elif t == "export" and "no-export" not in mode:
        send("export_progress", id=i, done=1, total=4, audio_ms=1500)
        if "export-hold" in mode:
            exporting = i
            continue
        send("export_progress", id=i, done=4, total=4, audio_ms=6000)
        send("export_result", id=i, path=r["path"], format="ogg", duration_ms=83500,
             chapters=2, words=12)
    elif t == "stop":
        paused = None
        send("stop_result", id=i)
        if exporting:
            send("export_result", id=exporting, cancelled=True)
            exporting = None
