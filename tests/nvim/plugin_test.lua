-- The Neovim plugin in headless Neovim against the real mdspeak-service.
--   MDSPEAK_NVIM_SUITE=offline  no speech needed: output framing, offsets, failing services
--   MDSPEAK_NVIM_SUITE=live     the real speech stack: highlights, words, pause, stop, edits
-- Run by ctest: nvim --headless --clean --cmd 'set rtp^=editors/nvim' -c 'luafile <this file>'
local suite = os.getenv("MDSPEAK_NVIM_SUITE") or "offline"
local service_path = assert(os.getenv("MDSPEAK_SERVICE"), "MDSPEAK_SERVICE is not set")
local uv = vim.uv or vim.loop

local mdspeak = require("mdspeak")
local text = require("mdspeak.text")
local service = require("mdspeak.service")

local failures, tests, skipped = {}, {}, {}
local function test(name, kind, fn)
  tests[#tests + 1] = { name = name, kind = kind, fn = fn }
end
local function check(ok, what)
  if not ok then
    failures[#failures + 1] = what
  end
  return ok
end
local function eq(actual, expected, what)
  return check(vim.deep_equal(actual, expected),
    ("%s: expected %s, got %s"):format(what, vim.inspect(expected), vim.inspect(actual)))
end

-- Every notification, for the tests to count.
local notes = {}
vim.notify = function(message, level)
  notes[#notes + 1] = { message = message, level = level or vim.log.levels.INFO }
end
local function notes_at(level)
  return vim.tbl_filter(function(n)
    return n.level == level
  end, notes)
end

local tmp = vim.fn.tempname()
vim.fn.mkdir(tmp, "p")
-- The user's own positions and pronunciations stay out of the tests.
vim.env.XDG_STATE_HOME = tmp .. "/state"
vim.env.XDG_CONFIG_HOME = tmp .. "/config"
local function write_file(name, bytes, mode)
  local path = tmp .. "/" .. name
  local file = assert(io.open(path, "wb"))
  file:write(bytes)
  file:close()
  if mode then
    uv.fs_chmod(path, mode)
  end
  return path
end

local function marks(buf)
  local result = {}
  local all = vim.api.nvim_buf_get_extmarks(buf, mdspeak.namespace, 0, -1, { details = true })
  for _, m in ipairs(all) do
    result[m[4].hl_group] = { m[2], m[3], m[4].end_row, m[4].end_col }
  end
  return result
end

local function marked_text(buf, m)
  return table.concat(vim.api.nvim_buf_get_text(buf, m[1], m[2], m[3], m[4], {}), "\n")
end

-- Collects the highlights after every update the plugin announces.
local function watch(buf)
  local seen = { utterances = {}, words = {}, cursor_rows = {} }
  local id = vim.api.nvim_create_autocmd("User", {
    pattern = "MdspeakUpdate",
    callback = function()
      local now, st = marks(buf), mdspeak.state()
      local u, w = now.MdspeakUtterance, now.MdspeakWord
      local last_u = seen.utterances[#seen.utterances]
      if u and not vim.deep_equal(u, last_u) then
        seen.utterances[#seen.utterances + 1] = u
        seen.cursor_rows[#seen.cursor_rows + 1] = vim.api.nvim_win_get_cursor(0)[1] - 1
      end
      -- A new word, or the same again after its utterance began anew (resume).
      if w and not vim.deep_equal(w, seen.word_mark) then
        seen.words[#seen.words + 1] = { mark = w, text = marked_text(buf, w), inside = u ~= nil
          and (w[1] > u[1] or (w[1] == u[1] and w[2] >= u[2]))
          and (w[3] < u[3] or (w[3] == u[3] and w[4] <= u[4])) }
      end
      seen.word_mark = w
      seen.paused = st.reading and st.reading.paused
    end,
  })
  seen.unwatch = function()
    vim.api.nvim_del_autocmd(id)
  end
  return seen
end

local function reading()
  return mdspeak.state().reading
end

-- Records the speech stack's null sink with parec: one mean square per block, with its time.
local function start_recorder()
  local dir = os.getenv("MDSPEAK_SPEECH_STACK_DIR")
  if not dir or dir == "" then
    local runtime = os.getenv("XDG_RUNTIME_DIR")
    dir = (runtime and runtime ~= "") and (runtime .. "/mdspeak-speech-stack")
      or ("/tmp/mdspeak-speech-stack-" .. uv.getuid())
  end
  local socket = dir .. "/runtime/pulse/native"
  local info = uv.fs_stat(socket)
  if not info or info.type ~= "socket" then
    return nil
  end
  local rec = { blocks = {}, leftover = "" }
  local pipe = uv.new_pipe(false)
  rec.handle = uv.spawn("parec", {
    args = { "--server=unix:" .. socket, "--device=speech.monitor", "--raw", "--format=s16le",
      "--rate=16000", "--channels=1", "--latency-msec=10" },
    stdio = { nil, pipe, nil },
  }, function() end)
  if not rec.handle then
    return nil
  end
  pipe:read_start(function(_, data)
    if not data then
      return
    end
    data = rec.leftover .. data
    local usable = #data - #data % 2
    rec.leftover = data:sub(usable + 1)
    local sum = 0
    for i = 1, usable, 2 do
      local lo, hi = data:byte(i, i + 1)
      local v = hi * 256 + lo
      if v >= 32768 then
        v = v - 65536
      end
      sum = sum + (v / 32768) ^ 2
    end
    rec.blocks[#rec.blocks + 1] = { at = uv.hrtime() / 1e6, sum = sum, n = usable / 2 }
  end)
  function rec.rms(from, to)
    local sum, n = 0, 0
    for _, b in ipairs(rec.blocks) do
      if b.at >= from and b.at < (to or math.huge) then
        sum, n = sum + b.sum, n + b.n
      end
    end
    return n > 0 and math.sqrt(sum / n) or nil
  end
  -- When the sink fell silent for good within [from, to).
  function rec.quiet_from(from, to, threshold)
    local since
    for _, b in ipairs(rec.blocks) do
      if b.at >= from and b.at < to then
        if b.n > 0 and math.sqrt(b.sum / b.n) >= threshold then
          since = nil
        elseif not since then
          since = b.at
        end
      end
    end
    return since
  end
  function rec.stop()
    pipe:read_stop()
    rec.handle:kill("sigint")
    rec.handle:close()
    pipe:close()
  end
  vim.wait(3000, function()
    return #rec.blocks > 0
  end, 10)
  return rec
end
local function now_ms()
  return uv.hrtime() / 1e6
end
local kAudible, kQuiet = 0.01, 0.001

local function open(name, bytes)
  vim.cmd("silent edit! " .. vim.fn.fnameescape(write_file(name, bytes)))
  return vim.api.nvim_get_current_buf()
end

-- A stand-in for an older or failing service: answers what it must, speaks nothing, logs every
-- request. `mode`, comma-separated: "no-pause" never answers pause; "speak-fails" answers speak
-- with an error; "dies-reading" exits once the first utterance has begun; "fails-reading"
-- reports it failed; "old-reading" refuses the natural reading (as a service that knows only
-- the plain one would, were it strict); "two-voices" lists voices. Utterances are a fixed list
-- whose speech always begins at "Two."; with "lines" each non-blank line is one ("# " a
-- heading) and speech begins where asked, or goes to the end with "finish". In the natural
-- reading utterance_begin tells the language (non-ASCII text: Spanish) and voice.
-- "pronounces" takes a pronunciation list, "refuses-pronunciations" refuses it; otherwise it
-- goes unanswered, as an older service leaves a request it does not know.
local function fake_service(mode, log)
  return write_file(mode, ([[#!/usr/bin/env python3
import json, sys
mode, log = %q, open(%q, "a")
modes = set(mode.split(","))
def send(kind, **fields):
    print(json.dumps(dict(type=kind, **fields)), flush=True)
two = dict(utterance_index=1, text="Two.", start_offset=6, end_offset=10)
said = [dict(utterance_index=0, text="One.", start_offset=0, end_offset=4, kind="item"),
        dict(two, kind="item"),  # a long block cut in two: both share its range
        dict(two, utterance_index=2, text="More.", kind="item")]
natural, lists = {}, {}
def lines_of(text):
    out, at = [], 0
    for line in text.encode().split(b"\n"):
        start, end = at, at + len(line)
        at = end + 1
        if line.strip():
            skip = 2 if line.startswith(b"# ") else 0
            out.append(dict(utterance_index=len(out), text=line[skip:].decode(),
                            start_offset=start + skip, end_offset=end,
                            kind="heading" if skip else "paragraph"))
    return out
def begin(doc, u, voice):
    event = {k: u[k] for k in ("utterance_index", "text", "start_offset", "end_offset")}
    told = dict(event)
    if natural.get(doc):
        spanish = not u["text"].isascii()
        told.update(language_code="es" if spanish else "en",
                    voice_id="es-a" if spanish else voice or "en-a")
    send("utterance_begin", document_id=doc, **told)
    return event
for line in sys.stdin:
    r = json.loads(line)
    log.write(line)
    log.flush()
    t, i, doc = r["type"], r["id"], r.get("document_id")
    if t == "init":
        send("init_result", id=i, available=True, backend="x", message=None)
    elif t == "load_document" and "old-reading" in modes and "reading" in r:
        send("error_result", id=i, code="unsupported_reading", message="no such reading")
    elif t == "load_document":
        natural[doc] = r.get("reading") == "natural"
        lists[doc] = lines_of(r["text"]) if "lines" in modes else said
        send("load_document_result", id=i, document_id=doc, utterance_count=len(lists[doc]))
    elif t == "prepare_speech":
        send("prepare_speech_result", id=i, document_id=doc, language_code="en",
             utterances=lists[doc])
    elif t == "list_voices":
        send("list_voices_result", id=i, voices=[] if not modes & {"two-voices", "lines"} else [
            dict(id="en-a", name="English A", locale="en-US"),
            dict(id="en-b", name="English B", locale="en-GB"),
            dict(id="es-a", name="Spanish A", locale="es-ES")] if not r.get("details") else [
            dict(id="en-a", name="English A", locale="en-US", engine="rhvoice", word_timing="exact"),
            dict(id="en-b", name="English B", locale="en-GB", engine="pico", word_timing="none"),
            dict(id="es-a", name="Spanish A", locale="es-ES", engine="espeak-ng",
                 word_timing="approximate")])
    elif t == "set_pronunciations" and "pronounces" in modes:
        send("set_pronunciations_result", id=i, count=len(r["entries"]))
    elif t == "set_pronunciations" and "refuses-pronunciations" in modes:
        send("error_result", id=i, code="invalid_pronunciations", message="entry 2: empty text")
    elif t == "stop":
        send("stop_result", id=i)
    elif t == "speak" and "speak-fails" in modes:
        send("error_result", id=i, code="speak_failed", message="failed to queue speech")
    elif t == "speak" and "lines" in modes:
        first = r.get("start_offset") or 0
        chosen = [dict(u, utterance_index=n) for n, u in
                  enumerate(u for u in lists[doc] if u["end_offset"] > first)]
        send("speak_result", id=i, document_id=doc, queued=len(chosen))
        for u in chosen if "finish" in modes else chosen[:1]:
            event = begin(doc, u, r.get("voice_id"))
            if "finish" in modes:
                send("utterance_end", document_id=doc, **event)
    elif t == "speak":
        send("speak_result", id=i, document_id=doc, queued=2)
        begin(doc, two, r.get("voice_id"))
        if "dies-reading" in modes:
            sys.exit("Error: gone")
        if "fails-reading" in modes:
            send("utterance_failed", document_id=doc, reason="the synthesizer stopped responding",
                 **two)
]]):format(mode, log), 493)
end

-- Offline ------------------------------------------------------------------------------------

test("job output is reassembled into lines however it is cut", "offline", function()
  local stream = '{"a":1}\n{"b":"é"}\n\n{"c":[]}\n'
  local want = { '{"a":1}', '{"b":"é"}', "", '{"c":[]}' }
  -- Neovim hands over each chunk split at line feeds; try every pair of cut points.
  for i = 0, #stream do
    for j = i, #stream do
      local pending, got = "", {}
      for _, chunk in ipairs({ stream:sub(1, i), stream:sub(i + 1, j), stream:sub(j + 1) }) do
        local lines
        pending, lines = service.split_lines(pending, vim.split(chunk, "\n", { plain = true }))
        vim.list_extend(got, lines)
      end
      if not eq(got, want, ("cut at %d and %d"):format(i, j)) then
        return
      end
      eq(pending, "", "nothing left pending")
    end
  end
end)

test("byte offsets map to buffer positions and back", "offline", function()
  local lines = { "# Café", "", "日本語 ok", "x\r" }
  local sent, starts = text.snapshot(lines)
  eq(sent, "# Café\n\n日本語 ok\nx\r\n", "text sent")
  for _, case in ipairs({
    { 0, 0, 0 }, { 2, 0, 2 }, { 7, 0, 7 }, -- "é" is two bytes: the line end is byte 7
    { 8, 1, 0 }, { 9, 2, 0 }, { 18, 2, 9 }, { 21, 2, 12 }, { 22, 3, 0 }, { 23, 3, 1 },
    { 24, 3, 2 }, { 999, 3, 2 }, -- past the end: the last line's end
  }) do
    local row, col = text.position(starts, case[1])
    eq({ row, col }, { case[2], case[3] }, "position of offset " .. case[1])
  end
  for offset = 0, #sent - 1 do
    eq(text.offset(starts, text.position(starts, offset)), offset, "round trip of " .. offset)
  end
  eq(text.offset(starts, 0, 99), 7, "a column past the line end is its end")
  eq(text.offset(starts, -1, 0), 0, "a row before the first is the start")
end)

test("a word with only its utterance's range is found in the source", "offline", function()
  for _, case in ipairs({
    -- source, utterance text, word's start in it, word, source bytes expected
    { "The cat and the cat.", "The cat and the cat.", 16, "cat.", "cat." }, -- the second one
    { "it's fine", "it’s fine", 0, "it’s", "it's" },
    { "Tom &amp; Jerry", "Tom & Jerry", 6, "Jerry", "Jerry" },
    { "a **bold** move", "a bold move", 2, "bold", "bold" },
    { "see [the docs](http://x/docs) now", "see the docs now", 8, "docs", "docs" },
    { "über 日本 ok", "über 日本 ok", 6, "日本", "日本" },
    { "a — b", "a — b", 2, "—", nil }, -- nothing to find: no letters
  }) do
    local first, last = text.find_word(case[1], 0, #case[1], case[2], case[3], case[4])
    eq(first and case[1]:sub(first + 1, last), case[5], "word " .. case[4] .. " in " .. case[1])
  end
  local source = "# Title\n\nword word\n"
  eq({ text.find_word(source, 9, 18, "word word", 5, "word") }, { 14, 18 }, "document offsets")
end)

test("a missing, dying or mute service is one error, no traceback", "offline", function()
  local dies = write_file("dies", "#!/bin/sh\nread line\necho 'Error: boom' >&2\nexit 3\n", 493)
  local mute = write_file("mute", "#!/bin/sh\nread line\n"
    .. [[echo '{"type":"init_result","id":"1","available":false,"backend":"system-tts",]]
    .. [["message":"no daemon here"}']]
    .. "\ncat >/dev/null\n", 493)
  open("missing.md", "# Title\n\nSome text.\n")
  for _, case in ipairs({
    { tmp .. "/nowhere/mdspeak-service", "MdspeakRead", "not found" },
    { dies, "MdspeakSummary", "exited (status 3): Error: boom" },
    { mute, "MdspeakRead", "no daemon here" },
    { mute, "MdspeakNext", "no daemon here" }, -- tried again, not stuck on the first answer
    { fake_service("dies-reading", tmp .. "/log"), "MdspeakRead", "(status 1): Error: gone" },
    { fake_service("speak-fails", tmp .. "/log"), "MdspeakRead", "failed to queue speech" },
    { fake_service("no-pause", tmp .. "/log"), "MdspeakVoice nosuch", 'no voice "nosuch"' },
  }) do
    notes = {}
    vim.v.errmsg = ""
    mdspeak.setup({ service = case[1] })
    local ok, err = pcall(vim.cmd, case[2])
    vim.wait(1500, function()
      return #notes_at(vim.log.levels.ERROR) > 0
    end, 10)
    vim.wait(200) -- time for a second notification, if there were one
    local errors = notes_at(vim.log.levels.ERROR)
    check(ok, case[2] .. " raised " .. tostring(err))
    check(#errors == 1 and errors[1].message:find(case[3], 1, true) ~= nil,
      ("expected one error about %q, got %s"):format(case[3], vim.inspect(notes)))
    eq(vim.v.errmsg, "", "no Vim error message")
    eq(reading(), nil, "nothing is left reading")
    eq(vim.api.nvim_buf_get_extmarks(0, mdspeak.namespace, 0, -1, {}), {}, "highlights left")
  end
  mdspeak.shutdown()
end)

test("speech the service gave up on is told once and reading stops", "offline", function()
  mdspeak.shutdown()
  mdspeak.setup({ service = fake_service("fails-reading", tmp .. "/log") })
  open("fails.md", "One.\n\nTwo.\n")
  notes = {}
  vim.cmd("MdspeakRead")
  check(vim.wait(3000, function()
    return #notes_at(vim.log.levels.ERROR) > 0
  end, 10), "the failure was told")
  vim.wait(200)
  eq(vim.tbl_map(function(n)
    return n.message
  end, notes_at(vim.log.levels.ERROR)), { "mdspeak: speech stopped: the synthesizer stopped responding" },
    "errors")
  eq(reading(), nil, "nothing is left reading")
  eq(vim.api.nvim_buf_get_extmarks(0, mdspeak.namespace, 0, -1, {}), {}, "highlights left")
  mdspeak.shutdown()
end)

test("a service that does not answer init is killed", "offline", function()
  local pid_file = tmp .. "/silent.pid"
  local silent = write_file("silent", "#!/bin/sh\necho $$ >" .. pid_file .. "\nexec sleep 60\n", 493)
  mdspeak.setup({ service = silent, answer_timeout_ms = 300 })
  open("silent.md", "Some text.\n")
  notes = {}
  vim.cmd("MdspeakRead")
  check(vim.wait(2000, function()
    return #notes_at(vim.log.levels.ERROR) > 0
  end, 10), "the missing answer was told")
  local pid = vim.fn.readfile(pid_file)[1]
  check(vim.wait(1000, function()
    return vim.fn.system({ "sh", "-c", "kill -0 " .. pid .. " 2>/dev/null && echo alive" }) == ""
  end, 20), "the silent service is gone")
  mdspeak.setup({ answer_timeout_ms = 10000 })
end)

test("a service without pause is stopped, then resumed at the utterance", "offline", function()
  -- Pause and resume once paused, or two toggles at once (the second before pause is answered).
  for n, quick in ipairs({ false, true }) do
    local log = tmp .. "/requests" .. n
    local fake = fake_service("no-pause", log) -- never answers pause
    mdspeak.setup({ service = fake, pause_timeout_ms = 200 })
    open("old" .. n .. ".md", "One.\n\nTwo.\n")
    vim.api.nvim_win_set_cursor(0, { 1, 0 })
    vim.cmd("MdspeakRead")
    check(vim.wait(3000, function()
      return reading() and reading().utterance ~= nil
    end, 10), "reading began")
    if quick then
      vim.cmd("MdspeakToggle")
      vim.cmd("MdspeakToggle")
    else
      vim.cmd("MdspeakPause")
      check(vim.wait(2000, function()
        return reading() and reading().paused
      end, 10), "paused")
      vim.cmd("MdspeakResume")
    end
    vim.wait(500)
    local sent = vim.tbl_map(function(line)
      local r = vim.json.decode(line)
      return r.type .. (r.start_offset and (" " .. r.start_offset) or "")
    end, vim.fn.readfile(log))
    eq(sent, { "init", "load_document", "prepare_speech", "list_voices", "speak 0", "pause",
      "stop", "speak 6" }, "requests, quick: " .. tostring(quick))
    eq(mdspeak.state().pause_supported, false, "pause is known to be missing")
    eq(reading() and reading().paused, false, "reading again, quick: " .. tostring(quick))
    mdspeak.stop()
    mdspeak.shutdown()
  end
end)

test("the statusline names a voice chosen during reading at once", "offline", function()
  mdspeak.setup({ service = fake_service("two-voices", tmp .. "/voices"), pause_timeout_ms = 200 })
  open("voices.md", "One.\n\nTwo.\n")
  vim.cmd("MdspeakRead")
  check(vim.wait(3000, function()
    return reading() and reading().utterance ~= nil
  end, 10), "reading began")
  check(mdspeak.status():find("English A", 1, true), "first voice shown: " .. mdspeak.status())
  vim.cmd("MdspeakVoice en-b")
  check(vim.wait(2000, function()
    return mdspeak.status():find("English B", 1, true) ~= nil
  end, 10), "new voice shown: " .. mdspeak.status())
  mdspeak.stop()
  mdspeak.shutdown()
  mdspeak.setup({})
end)

test("the voice picker names each voice's engine and word timing", "offline", function()
  mdspeak.setup({ service = fake_service("two-voices", tmp .. "/picker") })
  local shown
  local select = vim.ui.select
  vim.ui.select = function(items, opts, _)
    shown = vim.tbl_map(opts.format_item, items)
  end
  vim.cmd("MdspeakVoice")
  check(vim.wait(3000, function()
    return shown ~= nil
  end, 10), "picker shown")
  vim.ui.select = select
  eq(shown, { "English A (en-US) · rhvoice", "English B (en-GB) · pico · word timing none",
    "Spanish A (es-ES) · espeak-ng · word timing approximate" }, "picker lines")
  eq(mdspeak.voice_item({ name = "Old", locale = "en" }), "Old (en)", "a voice without details")
  mdspeak.shutdown()
  mdspeak.setup({})
end)

test("a rate outside 0.5 to 2.0 is refused with one error and the rate kept", "offline", function()
  mdspeak.setup({ rate = 1.0 })
  for _, rate in ipairs({ "9", "0.4", "2.01", "fast", "-1" }) do
    notes = {}
    mdspeak.set_rate(rate)
    eq(#notes_at(vim.log.levels.ERROR), 1, "errors for rate " .. rate)
    eq(mdspeak.state().rate, 1.0, "rate kept after " .. rate)
  end
  notes = {}
  mdspeak.set_rate("2")
  eq(#notes_at(vim.log.levels.ERROR), 0, "errors for rate 2")
  eq(mdspeak.state().rate, 2.0, "rate 2 taken")
  mdspeak.setup({ rate = 1.0 })
end)

test("next and previous move by utterance, those of one block together", "offline", function()
  local log = tmp .. "/jumps"
  mdspeak.setup({ service = fake_service("no-pause", log) })
  open("jumps.md", "One.\n\nTwo. More.\n")
  notes = {}
  vim.cmd("MdspeakNext") -- from the cursor, on "One."
  check(vim.wait(3000, function()
    return reading() and reading().utterance ~= nil
  end, 10), "reading began")
  vim.cmd("MdspeakNext") -- the fake is always on "Two.", and "More." shares its range
  vim.wait(300)
  vim.cmd("MdspeakPrev")
  vim.wait(300)
  local speaks = {}
  for _, line in ipairs(vim.fn.readfile(log)) do
    local r = vim.json.decode(line)
    if r.type == "speak" then
      speaks[#speaks + 1] = r.start_offset
    end
  end
  eq(speaks, { 6, 0 }, "speak offsets")
  local told = vim.tbl_filter(function(n)
    return n.message:find("utterance", 1, true) ~= nil
  end, notes)
  eq(#told == 1 and told[1].message, "mdspeak: no next utterance", "told where it ends")
  mdspeak.shutdown()
end)

test("the natural reading is asked for unless configured, and dropped when refused", "offline",
  function()
    local cases = {
      { "old-reading", "natural", { "natural", "-", "-" } },
      { "no-pause", "natural", { "natural", "natural" } },
      { "no-pause", "plain", { "-", "-" } },
    }
    for n, case in ipairs(cases) do
      local log = tmp .. "/readings" .. n
      notes = {}
      mdspeak.setup({ service = fake_service(case[1], log), reading = case[2] })
      local buf = open("readings" .. n .. ".md", "One.\n\nTwo. More.\n")
      vim.cmd("MdspeakRead")
      check(vim.wait(3000, function()
        return reading() and reading().utterance ~= nil
      end, 10), "reading began")
      mdspeak.stop()
      -- An edit makes the next read load the buffer again.
      vim.api.nvim_buf_set_lines(buf, 0, 1, true, { "Uno." })
      vim.cmd("MdspeakRead")
      vim.wait(300)
      local loads = {}
      for _, line in ipairs(vim.fn.readfile(log)) do
        local r = vim.json.decode(line)
        if r.type == "load_document" then
          loads[#loads + 1] = r.reading or "-"
        end
      end
      eq(loads, case[3], "load requests' reading with " .. case[1] .. ", " .. case[2])
      eq(notes_at(vim.log.levels.ERROR), {}, "errors")
      mdspeak.stop()
      mdspeak.shutdown()
    end
    mdspeak.setup({ reading = "natural" })
  end)

test("commands in quick succession share the service being started", "offline", function()
  local log = tmp .. "/quick"
  mdspeak.setup({ service = fake_service("no-pause", log) })
  open("quick.md", "One.\n\nTwo. More.\n")
  notes = {}
  for _, command in ipairs({ "MdspeakRead", "MdspeakRead", "MdspeakNext", "MdspeakToggle" }) do
    vim.cmd(command) -- each before the service has answered init
  end
  check(vim.wait(3000, function()
    return reading() and reading().utterance ~= nil
  end, 10), "reading began")
  vim.wait(300)
  local inits = vim.tbl_filter(function(line)
    return vim.json.decode(line).type == "init"
  end, vim.fn.readfile(log))
  eq(#inits, 1, "init requests")
  eq(notes_at(vim.log.levels.ERROR), {}, "errors")
  mdspeak.shutdown()
end)

-- The requests a fake service logged, decoded.
local function logged(log)
  if vim.fn.filereadable(log) == 0 then
    return {}
  end
  return vim.tbl_map(vim.json.decode, vim.fn.readfile(log))
end

local function speak_offsets(log)
  local offsets = {}
  for _, r in ipairs(logged(log)) do
    if r.type == "speak" then
      offsets[#offsets + 1] = r.start_offset
    end
  end
  return offsets
end

local function messages(level)
  return vim.tbl_map(function(n)
    return n.message
  end, notes_at(level))
end

-- Reads with `command` and waits until the first utterance has begun.
local function read_with(command)
  vim.cmd(command)
  return check(vim.wait(3000, function()
    return reading() and reading().utterance ~= nil
  end, 10), command .. ": reading began")
end

test("positions: digests, damaged files, the list kept, the place found again", "offline",
  function()
    local positions = require("mdspeak.positions")
    -- The published FNV-1a 64 test vectors: the terminal reader digests with the same function.
    for _, case in ipairs({ { "", "cbf29ce484222325" }, { "a", "af63dc4c8601ec8c" },
      { "foobar", "85944171f73967e8" } }) do
      eq(positions.digest(case[1]), case[2], "digest of " .. vim.inspect(case[1]))
    end
    local entry = { path = "/d/é.md", digest = "00ff", offset = 40, line = 3, column = 2,
      heading = "Café \"x\"", heading_offset = 20 }
    -- As the terminal reader writes it (indented), and what is dropped or refused.
    local terminal = '{\n "files": [\n  {\n   "column": 2,\n   "digest": "00ff",\n'
      .. '   "heading": "Café \\"x\\"",\n   "heading_offset": 20,\n   "line": 3,\n'
      .. '   "offset": 40,\n   "path": "/d/é.md"\n  }\n ],\n "format": "mdspeak-positions"\n}\n'
    for _, case in ipairs({
      { terminal, { entry } },
      { positions.serialise({ entry }), { entry } },
      { positions.serialise({}), {} },
      { '{"format":"mdspeak-positions","files":[{"path":"/x"}, 3, '
        .. vim.json.encode(entry) .. "," .. vim.json.encode(vim.tbl_extend("force", entry,
          { offset = 1 })) .. "," .. vim.json.encode(vim.tbl_extend("force", entry,
          { path = "/y", line = 0 })) .. "]}", { entry } }, -- incomplete, duplicate, line 0
      { "garbage", nil },
      { '{"format":"other","files":[]}', nil },
      { '{"format":"mdspeak-positions","files":{"a":1}}', nil },
    }) do
      eq(positions.parse(case[1]), case[2], "parse " .. case[1]:sub(1, 40))
    end
    local list = {}
    for n = 1, 5 do
      list = positions.remember(list, vim.tbl_extend("force", entry, { path = "/" .. n }), 3)
    end
    list = positions.remember(list, vim.tbl_extend("force", entry, { path = "/4", offset = 9 }), 3)
    eq(vim.tbl_map(function(e)
      return e.path .. ":" .. e.offset
    end, list), { "/4:9", "/5:40", "/3:40" }, "most recent first, one per file, bounded")

    local utterances = {
      { kind = "heading", text = "Install", start_offset = 10 },
      { kind = "paragraph", text = "Install", start_offset = 30 },
      { kind = "heading", text = "Install", start_offset = 95 },
      { kind = "heading", text = "Use", start_offset = 120 },
    }
    local saved = { digest = "same", offset = 44, heading = "Install", heading_offset = 90 }
    for _, case in ipairs({
      { saved, "same", 44 }, -- unchanged: the very utterance
      { saved, "edited", 95 }, -- the heading of that text nearest its old place
      { vim.tbl_extend("force", saved, { heading = "Gone" }), "edited", nil },
      { vim.tbl_extend("force", saved, { heading = "" }), "edited", nil },
    }) do
      eq(positions.resume_offset(case[1], case[2], utterances), case[3],
        ("resume in %s text under %q"):format(case[2], case[1].heading))
    end
    eq(positions.entry("/f", "d", 125, 9, 1, utterances).heading_offset, 120, "heading above")
    eq(positions.entry("/f", "d", 5, 1, 6, utterances).heading, "", "before any heading")
  end)

test(":MdspeakRead continues where the file's reading stopped, :MdspeakRead! from the cursor",
  "offline", function()
    local log = tmp .. "/memory"
    local store = tmp .. "/state/mdspeak/positions"
    local positions = require("mdspeak.positions")
    mdspeak.setup({ service = fake_service("lines", log) })
    local source = "# Intro\nOne.\n# Install\nTwo.\nThree.\n"
    local buf = open("memory.md", source)
    local two = source:find("Two.", 1, true) - 1
    notes = {}
    vim.api.nvim_win_set_cursor(0, { 4, 0 })
    read_with("MdspeakRead") -- nothing remembered: from the cursor
    mdspeak.stop()
    local saved = (positions.load(store) or {})[1] or {}
    eq({ saved.path, saved.offset, saved.line, saved.column, saved.heading, saved.heading_offset },
      { vim.loop.fs_realpath(vim.api.nvim_buf_get_name(buf)), two, 4, 1, "Install", 15 },
      "the stored place")
    vim.api.nvim_win_set_cursor(0, { 1, 0 })
    read_with("MdspeakRead")
    mdspeak.stop()
    vim.api.nvim_win_set_cursor(0, { 1, 0 })
    read_with("MdspeakRead!")
    mdspeak.stop()
    -- Edited: the heading of the same text nearest its old place.
    vim.api.nvim_buf_set_lines(buf, 0, 0, true, { "Preface.", "# Intro", "x" })
    read_with("MdspeakRead")
    mdspeak.stop()
    eq(speak_offsets(log), { two, two, 0, 11 }, "speak offsets")
    eq(vim.tbl_filter(function(m)
      return m:find("continuing", 1, true) ~= nil
    end, messages(vim.log.levels.INFO)), { "mdspeak: continuing at 4:1 'Install'",
      "mdspeak: continuing at 'Intro' (the file has changed)" }, "told where it continues")
    mdspeak.shutdown()

    -- Read to the end: forgotten.
    mdspeak.setup({ service = fake_service("lines,finish", log) })
    vim.cmd("MdspeakRead")
    check(vim.wait(3000, function()
      return #speak_offsets(log) == 5 and reading() == nil
    end, 10), "read to the end")
    eq(positions.find(positions.load(store) or {}, vim.loop.fs_realpath(tmp .. "/memory.md")), nil,
      "nothing remembered after the end")
    eq(messages(vim.log.levels.WARN), {}, "warnings")
    eq(messages(vim.log.levels.ERROR), {}, "errors")
    mdspeak.shutdown()
  end)

test("a damaged or unwritable positions file is one warning, never the reading", "offline",
  function()
    local log = tmp .. "/damaged"
    mdspeak.setup({ service = fake_service("lines", log) })
    vim.fn.mkdir(tmp .. "/state/mdspeak", "p")
    write_file("state/mdspeak/positions", "{ not json")
    local blocker = write_file("blocker", "a file where a folder should be")
    open("damaged.md", "One.\nTwo.\n")
    vim.api.nvim_win_set_cursor(0, { 2, 0 })
    notes = {}
    for _, state_home in ipairs({ tmp .. "/state", tmp .. "/state", blocker }) do
      vim.env.XDG_STATE_HOME = state_home
      read_with("MdspeakRead")
      mdspeak.stop()
    end
    vim.env.XDG_STATE_HOME = tmp .. "/state"
    eq(speak_offsets(log), { 5, 5, 5 }, "read from the cursor, then where it stopped")
    local warnings = messages(vim.log.levels.WARN)
    eq(#warnings, 2, "warnings: " .. vim.inspect(warnings))
    check(warnings[1] and warnings[1]:find("cannot use the remembered positions", 1, true),
      "damaged file told: " .. tostring(warnings[1]))
    check(warnings[2] and warnings[2]:find("cannot create " .. blocker, 1, true),
      "unwritable file told: " .. tostring(warnings[2]))
    eq(messages(vim.log.levels.ERROR), {}, "errors")
    mdspeak.shutdown()
  end)

test("the statusline shows the language and voice the service names for each utterance",
  "offline", function()
    -- How the service reads (plain: it names no voice), the voice asked for, the statuses seen.
    for _, case in ipairs({
      { "natural", nil, { "mdspeak: reading · en · English A", "mdspeak: reading · es · Spanish A" },
        { "mdspeak: English, voice English A" } },
      { "plain", "en-b", { "mdspeak: reading · en · English B" }, { "mdspeak: English, voice English B" } },
      { "plain", nil, { "mdspeak: reading · en" }, { "mdspeak: English" } },
      { "natural", "en-b", { "mdspeak: reading · en · English B", "mdspeak: reading · es · Spanish A" },
        { "mdspeak: English, voice English B" } },
    }) do
      mdspeak.setup({ service = fake_service("lines,finish", tmp .. "/passages"), reading = case[1],
        voice = case[2] or vim.NIL })
      open("passages.md", "Hello there.\nHola, ¿qué tal?\n")
      vim.api.nvim_win_set_cursor(0, { 1, 0 })
      local seen = {}
      local id = vim.api.nvim_create_autocmd("User", {
        pattern = "MdspeakUpdate",
        callback = function()
          local status = mdspeak.status()
          if reading() and reading().utterance and status ~= seen[#seen] then
            seen[#seen + 1] = status
          end
        end,
      })
      notes = {}
      vim.cmd("MdspeakRead!")
      vim.wait(3000, function()
        return #seen > 0 and reading() == nil
      end, 10)
      vim.api.nvim_del_autocmd(id)
      local what = case[1] .. ", voice " .. tostring(case[2])
      eq(seen, case[3], "statuses, " .. what)
      eq(messages(vim.log.levels.INFO), case[4], "told once, " .. what)
      mdspeak.shutdown()
    end
    mdspeak.setup({ reading = "natural", voice = vim.NIL })
  end)

test("pronunciation lists: entries, sections and comments; bad lines named", "offline", function()
  local pronunciations = require("mdspeak.pronunciations")
  local entries, problems = pronunciations.parse(table.concat({
    "# words espeak gets wrong",
    "nginx\tengine x",
    "  SQL \t  sequel  ",
    "no tab here",
    "\tnothing before",
    "GUI\t",
    "[es]",
    "kubectl\tcubo control\r",
    "[fr]",
    "[EN]",
    ("x"):rep(201) .. "\ttoo long",
    "caf\255\tbad bytes",
    "",
    "Wi-Fi\twaifai",
  }, "\n"))
  eq(entries, {
    { text = "nginx", say = "engine x" },
    { text = "SQL", say = "sequel" },
    { text = "kubectl", say = "cubo control", language = "es" },
    { text = "Wi-Fi", say = "waifai", language = "en" },
  }, "entries")
  eq(vim.tbl_map(function(p)
    return p.line
  end, problems), { 4, 5, 6, 9, 11, 12 }, "lines reported")
  eq(problems[4].message, "unknown section [fr] (only [en] and [es])", "section named")
  eq(pronunciations.request(entries).entries[1].language, vim.NIL, "both languages: null")
end)

test("the pronunciation list is sent after init; a refusal or an older service costs no reading",
  "offline", function()
    local default = tmp .. "/config/mdspeak/pronunciations"
    vim.fn.mkdir(tmp .. "/config/mdspeak", "p")
    write_file("config/mdspeak/pronunciations",
      "nginx\tengine x\nbroken line\n[es]\nSQL\tese cu ele\n")
    local other = write_file("mine", "GUI\tgooey\n")
    -- Fake mode, the option, what is sent, the count taken, the warnings.
    for n, case in ipairs({
      { "pronounces", nil, 2, 2,
        { default .. ":2: no tab between the text and what to say; line skipped" } },
      { "pronounces", other, 1, 1, {} },
      { "refuses-pronunciations", other, 1, nil,
        { "the pronunciations were not taken: entry 2: empty text" } },
      { "old", other, 1, nil, {} }, -- an older service does not answer at all
      { "pronounces", tmp .. "/none", nil, nil, { "no pronunciation list at " .. tmp .. "/none" } },
    }) do
      local log = tmp .. "/pron" .. n
      mdspeak.setup({ service = fake_service("lines," .. case[1], log), pronunciations = case[2] })
      open("pron.md", "One.\nTwo.\n")
      notes = {}
      read_with("MdspeakRead!")
      mdspeak.stop()
      read_with("MdspeakRead!") -- the same list: neither sent nor told again
      vim.wait(500)
      local sent = vim.tbl_filter(function(r)
        return r.type == "set_pronunciations"
      end, logged(log))
      local what = case[1] .. " " .. tostring(case[2])
      eq(#sent, case[3] and 1 or 0, "lists sent, " .. what)
      eq(sent[1] and #sent[1].entries, case[3], "entries sent, " .. what)
      eq(logged(log)[2].type, case[3] and "set_pronunciations" or "load_document",
        "sent after init")
      eq(mdspeak.state().pronunciations, case[4], "count taken, " .. what)
      eq(vim.tbl_map(function(m)
        return m:gsub("^mdspeak: ", "")
      end, messages(vim.log.levels.WARN)), case[5], "warnings, " .. what)
      eq(messages(vim.log.levels.ERROR), {}, "errors, " .. what)
      mdspeak.stop()
      mdspeak.shutdown()
    end
    -- An edited list is sent again to the running service.
    local log = tmp .. "/pron-edit"
    mdspeak.setup({ service = fake_service("lines,pronounces", log), pronunciations = other })
    read_with("MdspeakRead!")
    write_file("mine", "GUI\tgooey\nCLI\tsee el eye\n")
    read_with("MdspeakRead!")
    vim.wait(300)
    eq(vim.tbl_map(function(r)
      return #r.entries
    end, vim.tbl_filter(function(r)
      return r.type == "set_pronunciations"
    end, logged(log))), { 1, 2 }, "lists sent")
    mdspeak.stop()
    mdspeak.shutdown()
    mdspeak.setup({ pronunciations = vim.NIL })
  end)

test("a service dying while its pronunciation list waits for an answer is told", "offline",
  function()
    -- The list is never answered by this older service, the speech is: its end is not the
    -- list's failure to tell quietly.
    local list = write_file("dying-list", "GUI\tgooey\n")
    mdspeak.setup({ service = fake_service("dies-reading", tmp .. "/dying"), pronunciations = list })
    open("dying.md", "One.\n\nTwo.\n")
    notes = {}
    vim.cmd("MdspeakRead!")
    vim.wait(3000, function()
      return #notes_at(vim.log.levels.ERROR) > 0
    end, 10)
    eq(messages(vim.log.levels.ERROR), { "mdspeak: the service exited (status 1): Error: gone" },
      "errors")
    mdspeak.shutdown()
    mdspeak.setup({ pronunciations = vim.NIL })
  end)

-- Live ---------------------------------------------------------------------------------------

test("reading a CRLF buffer highlights each utterance and word where it is", "live", function()
  notes = {}
  mdspeak.setup({ service = service_path, rate = 1.6 })
  local buf = open("crlf.md", "# Café naïve\r\n\r\nThe über 日本 test, it's fine.\r\n\r\n"
    .. "- item one\r\n- item &amp; two\r\n")
  eq(vim.bo[buf].fileformat, "dos", "fileformat")
  local seen = watch(buf)
  vim.cmd("MdspeakRead")
  check(vim.wait(20000, function()
    return seen.utterances[1] and not reading()
  end, 10), "reading ended")
  seen.unwatch()
  eq(seen.utterances, {
    { 0, 2, 0, 14 }, -- "Café naïve" after "# ": two-byte letters count twice
    { 2, 0, 2, 33 }, -- the paragraph, without the CR Neovim keeps out of the line
    { 4, 2, 4, 10 },
    { 5, 2, 5, 16 }, -- "item &amp; two": the entity's source bytes
  }, "utterance highlights")
  eq(seen.cursor_rows, { 0, 2, 4, 5 }, "the cursor follows the utterances")
  eq(vim.tbl_map(function(w)
    return w.text
  end, seen.words), { "Café", "naïve", "The", "über", "日本", "test,", "it's", "fine.", "item",
    "one", "item", "two" }, "word highlights, word by word") -- "&" is no word: no letters
  check(#seen.words > 0 and vim.tbl_count(vim.tbl_filter(function(w)
    return not w.inside
  end, seen.words)) == 0, "every word lies inside its utterance")
  eq(marks(buf), {}, "highlights cleared at the end")
  eq(#notes_at(vim.log.levels.INFO), 1, "language and voice are told once")
  local told = notes[1] and notes[1].message or ""
  check(told:find("English", 1, true), "language told: " .. vim.inspect(notes))
end)

local long = "The quick brown fox jumps over the lazy dog, and then it keeps on running for a "
  .. "long while, far beyond the end of this sentence, through fields and woods and over hills, "
  .. "until the evening comes and the light fades away behind the distant mountains.\n"

test("pause silences the sink, resume continues at the word, stop clears", "live", function()
  local buf = open("long.md", long)
  local rec = start_recorder()
  local seen = watch(buf)
  local started = now_ms()
  vim.cmd("MdspeakRead")
  check(vim.wait(8000, function()
    return #seen.words >= 4
  end, 10), "speech began")
  vim.wait(300)
  local paused_at = now_ms()
  vim.cmd("MdspeakPause")
  check(vim.wait(2000, function()
    return seen.paused
  end, 10), "paused")
  -- The word the service paused on: the last one it told before answering.
  local word_at_pause = seen.words[#seen.words]
  -- Without the service's own pause, the plugin stops it once the pause went unanswered.
  local quiet_from = mdspeak.state().pause_supported and paused_at or now_ms()
  vim.wait(900)
  check(marks(buf).MdspeakUtterance ~= nil, "the utterance stays highlighted while paused")
  local words_before = #seen.words
  local resumed_at = now_ms()
  vim.cmd("MdspeakResume")
  check(vim.wait(3000, function()
    return #seen.words > words_before
  end, 10), "words come again after resume")
  local first_after = seen.words[words_before + 1]
  eq(mdspeak.state().pause_supported, true, "the service pauses")
  eq(first_after and first_after.text, word_at_pause and word_at_pause.text, "resumed at the word")
  vim.wait(1200)
  local stopped_at = now_ms()
  vim.cmd("MdspeakStop")
  eq(marks(buf), {}, "stop clears the highlights at once")
  eq(reading(), nil, "nothing is being read after stop")
  vim.wait(800)
  seen.unwatch()
  if not rec then
    skipped[#skipped + 1] = "sound checks: not our speech stack, its sink cannot be recorded"
    return
  end
  rec.stop()
  local speaking = rec.rms(started, paused_at)
  local during_pause = rec.rms(quiet_from + 300, resumed_at)
  local after_resume = rec.rms(resumed_at, stopped_at)
  local after_stop = rec.rms(stopped_at + 300)
  io.stdout:write(("sink RMS: speaking %s, paused %s, resumed %s, stopped %s\n"):format(
    speaking, during_pause, after_resume, after_stop))
  local silent = rec.quiet_from(paused_at, resumed_at, kQuiet)
  io.stdout:write(("from :MdspeakPause to silence: %s ms\n"):format(
    silent and math.floor(silent - paused_at) or "never"))
  check(speaking and speaking > kAudible, "audible before pause: " .. tostring(speaking))
  check(during_pause and during_pause < kQuiet, "silent while paused: " .. tostring(during_pause))
  check(after_resume and after_resume > kAudible, "audible on resume: " .. tostring(after_resume))
  check(after_stop and after_stop < kQuiet, "silent after stop: " .. tostring(after_stop))
end)

test("editing the buffer while it is read stops cleanly", "live", function()
  notes = {}
  local buf = open("edit.md", long)
  local seen = watch(buf)
  vim.cmd("MdspeakRead")
  check(vim.wait(8000, function()
    return seen.utterances[1] ~= nil
  end, 10), "speech began")
  vim.api.nvim_buf_set_lines(buf, 0, 0, true, { "# New title", "" })
  check(vim.wait(2000, function()
    return reading() == nil
  end, 10), "reading stopped after the edit")
  seen.unwatch()
  eq(marks(buf), {}, "no stale highlights")
  eq(#notes, 1, "one notification says why: " .. vim.inspect(notes))

  -- Unloading the buffer stops as well.
  vim.cmd("MdspeakRead")
  check(vim.wait(8000, function()
    return reading() and reading().utterance ~= nil
  end, 10), "speech began again")
  vim.cmd("bwipeout! " .. buf)
  eq(reading(), nil, "nothing is read from a wiped-out buffer")
end)

test(":checkhealth reports the service, the synthesizer and the voices", "live", function()
  vim.cmd("checkhealth mdspeak")
  local report = table.concat(vim.api.nvim_buf_get_lines(0, 0, -1, false), "\n")
  vim.cmd("bwipeout!")
  for _, want in ipairs({
    -- "OK:" before Neovim 0.10, "OK" since
    "OK:? service found: " .. vim.pesc(service_path) .. " %(mdspeak%-service %d+%.%d+%.%d+%)",
    "OK:? speech synthesizer available",
    "English: %d+ voices",
  }) do
    check(report:find(want) ~= nil, ("%q not in the report:\n%s"):format(want, report))
  end
end)

-- Runner -------------------------------------------------------------------------------------

local function finish()
  pcall(mdspeak.shutdown)
  vim.fn.delete(tmp, "rf")
  for _, s in ipairs(skipped) do
    io.stdout:write("SKIP: " .. s .. "\n")
  end
  if #failures > 0 then
    io.stdout:write(table.concat(failures, "\n") .. "\n")
    vim.cmd("cquit 1")
  end
  vim.cmd("qall!")
end

for _, t in ipairs(tests) do
  if t.kind == suite then
    local before = #failures
    local ok, err = xpcall(t.fn, debug.traceback)
    if not ok then
      failures[#failures + 1] = "error: " .. tostring(err)
    end
    io.stdout:write(("%s: %s\n"):format(#failures == before and "ok" or "FAILED", t.name))
  end
end
finish()
