#!/usr/bin/env python3
"""A stand-in for mdspeak-service that speaks the protocol without any synthesizer.

Blocks separated by a blank line are utterances ("# " lines are headings). Speech runs on a clock:
each utterance begins, says its first word, and ends FAKE_SECONDS (default 0.15) later; pause,
resume and stop act on that clock as the real service does. Every request is appended to
FAKE_LOG. What to play differently:
  FAKE_NO_PAUSE=1        pause gets no answer (an older service that does not know it)
  FAKE_REFUSE_NATURAL=1  a load asking for the natural reading is refused
  FAKE_DIE_AT=N          the process exits as utterance N (counted from 0) begins
"""
import json
import os
import select
import sys
import time

SECONDS = float(os.environ.get("FAKE_SECONDS", "0.15"))
DIE_AT = int(os.environ.get("FAKE_DIE_AT", "-1"))
log = open(os.environ["FAKE_LOG"], "a") if os.environ.get("FAKE_LOG") else None
documents = {}
speech = None  # {"doc", "chosen", "next", "due", "begun"}: the utterances being spoken
paused = None  # what a resume speaks again
begun_count = 0


def say(**message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


def cut(text):
    utterances, pos = [], 0
    for block in text.split("\n\n"):
        body = block.strip("\n")
        if body:
            heading = body.startswith("#")
            start = pos + (body.index(" ") + 1 if heading else 0)
            utterances.append({"text": text[start:pos + len(body)], "start_offset": start,
                               "end_offset": pos + len(body),
                               "kind": "heading" if heading else "paragraph"})
        pos += len(block) + 2
    return utterances


def event(kind, n):
    u = speech["chosen"][n]
    fields = {"document_id": speech["doc"], "utterance_index": n,
              "start_offset": u["start_offset"], "end_offset": u["end_offset"]}
    if kind == "word":
        word = len(u["text"].split(" ")[0])
        fields.update(end_offset=u["start_offset"] + word, text_start=0, text_end=word)
        say(type="utterance_word", text=u["text"][:word], **fields)
    else:
        say(type="utterance_" + kind, text=u["text"], **fields)


def advance():
    """Writes the events that are due; returns the seconds until the next one."""
    global speech, begun_count
    while speech:
        n = speech["next"]
        if not speech["begun"]:
            if begun_count == DIE_AT:
                sys.exit(3)
            begun_count += 1
            event("begin", n)
            event("word", n)
            speech["begun"] = True
            speech["due"] = time.monotonic() + SECONDS
        left = speech["due"] - time.monotonic()
        if left > 0:
            return left
        event("end", n)
        speech["next"] += 1
        speech["begun"] = False
        if speech["next"] >= len(speech["chosen"]):
            speech = None
    return None


def speak(r, chosen):
    global speech, paused
    paused = None
    speech = {"doc": r["document_id"], "chosen": chosen, "next": 0, "due": 0, "begun": False}
    say(type="speak_result", id=r["id"], document_id=r["document_id"], queued=len(chosen))
    if not chosen:
        speech = None


def handle(r):
    global speech, paused
    t, i = r["type"], r.get("id")
    if t == "init":
        say(type="init_result", id=i, available=True, backend="fake", message=None)
    elif t == "load_document":
        if r.get("reading") == "natural" and os.environ.get("FAKE_REFUSE_NATURAL"):
            say(type="error_result", id=i, code="unsupported_reading",
                message="unknown reading 'natural'")
            documents.pop(r["document_id"], None)
            return
        documents[r["document_id"]] = cut(r["text"])
        say(type="load_document_result", id=i, document_id=r["document_id"],
            utterance_count=len(documents[r["document_id"]]))
    elif r.get("document_id") is not None and r["document_id"] not in documents:
        say(type="error_result", id=i, code="document_not_loaded",
            message="document '%s' is not loaded" % r["document_id"])
    elif t in ("prepare_speech", "prepare_summary"):
        listed = documents[r["document_id"]] if t == "prepare_speech" else \
            [{"text": "A summary.", "start_offset": 0, "end_offset": 1, "kind": "paragraph"}]
        say(type=t + "_result", id=i, document_id=r["document_id"], language_code="en",
            utterances=[dict(u, utterance_index=n) for n, u in enumerate(listed)])
    elif t == "speak":
        start, end = r.get("start_offset") or 0, r.get("end_offset")
        speak(r, [u for u in documents[r["document_id"]] if u["end_offset"] > start and
                  (end is None or u["start_offset"] < end)])
    elif t == "speak_summary":
        speak(r, [{"text": "A summary.", "start_offset": 0, "end_offset": 1}])
    elif t == "pause":
        if os.environ.get("FAKE_NO_PAUSE"):
            return
        was = speech is not None
        if was:
            paused = dict(speech, begun=False)
        speech = None
        say(type="pause_result", id=i, paused=was)
    elif t == "resume":
        if paused:
            speech, paused = paused, None
        say(type="resume_result", id=i, resumed=speech is not None,
            queued=len(speech["chosen"]) - speech["next"] if speech else 0)
    elif t == "stop":
        speech = paused = None
        say(type="stop_result", id=i)
    elif t == "list_voices":
        say(type="list_voices_result", id=i, voices=[
            {"id": "en-us", "name": "English (America)", "locale": "en-US", "gender": None}])


buffer = b""
while True:
    wait = advance()
    ready, _, _ = select.select([sys.stdin], [], [], wait)
    if not ready:
        continue
    chunk = os.read(sys.stdin.fileno(), 65536)
    if not chunk:
        # Input closed: like the service, finish what is being spoken (unless paused), then exit.
        while speech:
            time.sleep(advance() or 0)
        break
    buffer += chunk
    while b"\n" in buffer:
        line, buffer = buffer.split(b"\n", 1)
        if log:
            log.write(line.decode() + "\n")
            log.flush()
        handle(json.loads(line))
