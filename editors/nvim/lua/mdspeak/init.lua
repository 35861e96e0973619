-- Reads Markdown buffers aloud through mdspeak-service, highlighting what is spoken.
local service_mod = require("mdspeak.service")
local text = require("mdspeak.text")

local M = {}

local defaults = {
  service = nil, -- path of mdspeak-service; else PATH, else the build beside this plugin
  rate = 1.0,
  voice = nil,
  follow = true, -- move the cursor along with the spoken text until the user moves it
  keep_reading_on_edit = false,
  word_highlight = true, -- ask for word events and highlight the word being spoken
  notify_language = true,
  default_mappings = false,
  answer_timeout_ms = 10000,
  pause_timeout_ms = 500, -- a service that does not answer `pause` within this is paused by stop
  reading = "natural", -- sentence by sentence in source order, code blocks announced; or "spec"
}

local config = vim.deepcopy(defaults)
local ns = vim.api.nvim_create_namespace("mdspeak")
M.namespace = ns

local state = {
  service = nil,
  ready = false, -- init answered with a working synthesizer
  docs = {}, -- bufnr -> { id, tick, starts, utterances, language }
  attached = {},
  voices = nil,
  announced = nil,
  pause_supported = nil,
  generation = 0,
  reading = nil,
  export = nil, -- { path, done, total } while an export runs
  language = nil,
  voice = nil,
}

local Failure = {}

local function fail(message)
  error(setmetatable({ message = message }, Failure), 0)
end

-- Ends a command whose failure another command already reported.
local function fail_quietly()
  error(setmetatable({}, Failure), 0)
end

local function notify(message, level)
  vim.notify("mdspeak: " .. message, level or vim.log.levels.INFO)
end

local function fire_update()
  if vim.fn.exists("#User#MdspeakUpdate") == 1 then
    pcall(vim.cmd, "doautocmd <nomodeline> User MdspeakUpdate")
  end
end

-- Commands run as coroutines that wait for the service's answers; a failure anywhere in one is
-- a single ERROR notification, never a traceback.
local steps = {}

local function run(fn, ...)
  local co = coroutine.create(fn)
  local function step(...)
    local ok, err = coroutine.resume(co, ...)
    if coroutine.status(co) == "dead" then
      steps[co] = nil
    end
    if not ok and not (getmetatable(err) == Failure and err.message == nil) then
      local message = getmetatable(err) == Failure and err.message
        or ("internal error: " .. tostring(err))
      notify(message, vim.log.levels.ERROR)
    end
  end
  steps[co] = step
  step(...)
end

local plugin_root = (function()
  local source = debug.getinfo(1, "S").source:sub(2)
  return vim.fn.fnamemodify(source, ":p:h:h:h")
end)()

function M.service_path()
  if config.service then
    local path = vim.fn.expand(config.service)
    if vim.fn.executable(path) == 1 then
      return path
    end
    return nil, "mdspeak-service not found at " .. path
  end
  local on_path = vim.fn.exepath("mdspeak-service")
  if on_path ~= "" then
    return on_path
  end
  local built = plugin_root .. "/../../build/release/src/main/mdspeak-service"
  built = vim.fn.fnamemodify(built, ":p")
  if vim.fn.executable(built) == 1 then
    return built
  end
  return nil,
    "mdspeak-service not found (not on PATH, not built beside the plugin;"
      .. " set it with setup{ service = ... })"
end

-- Highlights -------------------------------------------------------------------------------

local function clear_marks(buf)
  if buf and vim.api.nvim_buf_is_valid(buf) then
    vim.api.nvim_buf_clear_namespace(buf, ns, 0, -1)
  end
end

local function mark(reading, key, start_offset, end_offset, group, priority)
  local buf = reading.buf
  if not vim.api.nvim_buf_is_valid(buf) then
    return
  end
  local line_count = vim.api.nvim_buf_line_count(buf)
  local function clamp(row, col)
    if row >= line_count then
      row = line_count - 1
      col = #(vim.api.nvim_buf_get_lines(buf, row, row + 1, false)[1] or "")
    else
      local line = vim.api.nvim_buf_get_lines(buf, row, row + 1, false)[1] or ""
      col = math.min(col, #line)
    end
    return row, col
  end
  local row, col = clamp(text.position(reading.starts, start_offset))
  local end_row, end_col = clamp(text.position(reading.starts, end_offset))
  local ok, id = pcall(vim.api.nvim_buf_set_extmark, buf, ns, row, col, {
    id = reading.marks[key],
    end_row = end_row,
    end_col = end_col,
    hl_group = group,
    priority = priority,
  })
  if ok then
    reading.marks[key] = id
  end
  return row, col
end

local function unmark(reading, key)
  local id = reading.marks[key]
  if id and vim.api.nvim_buf_is_valid(reading.buf) then
    pcall(vim.api.nvim_buf_del_extmark, reading.buf, ns, id)
  end
  reading.marks[key] = nil
end

-- Moves the cursor to a mark just made (`row` is nil when none was).
local function follow(reading, row, col)
  if not row or not (config.follow and reading.follow) then
    return
  end
  local win = reading.win
  if not vim.api.nvim_win_is_valid(win) or vim.api.nvim_win_get_buf(win) ~= reading.buf then
    return
  end
  local cursor = vim.api.nvim_win_get_cursor(win)
  if reading.cursor and (cursor[1] ~= reading.cursor[1] or cursor[2] ~= reading.cursor[2]) then
    reading.follow = false -- the user went elsewhere; stay out of the way
    return
  end
  local position = { row + 1, col }
  if pcall(vim.api.nvim_win_set_cursor, win, position) then
    reading.cursor = vim.api.nvim_win_get_cursor(win)
  end
end

local function finish_reading()
  local reading = state.reading
  state.reading = nil
  if reading then
    clear_marks(reading.buf)
    fire_update()
  end
end

-- Service lifecycle ------------------------------------------------------------------------

local function on_event(message)
  if message.type == "export_progress" then
    if state.export then
      state.export.done, state.export.total = message.done, message.total
      fire_update()
    end
    return
  end
  if message.type == "pause_result" then
    state.pause_supported = true -- it came too late, yet the service does pause
    return
  end
  local reading = state.reading
  if not reading or message.document_id ~= reading.doc_id then
    return
  end
  local kind = message.type
  if kind == "utterance_begin" then
    reading.index = message.utterance_index
    reading.utterance = { message.start_offset, message.end_offset }
    reading.utterance_text = message.text
    reading.word = nil
    if reading.kind == "document" then
      unmark(reading, "word")
      local first, last = message.start_offset, message.end_offset
      follow(reading, mark(reading, "utterance", first, last, "MdspeakUtterance", 150))
    end
    fire_update()
  elseif kind == "utterance_word" then
    local first, last = message.start_offset, message.end_offset
    local u = reading.utterance
    if reading.kind == "document" and u and first == u[1] and last == u[2] then
      -- Only the utterance's range: find the word in the text that was sent.
      first, last = text.find_word(reading.source, u[1], u[2], reading.utterance_text or "",
        message.text_start or 0, message.text or "")
    end
    reading.word = first and { first, last } or nil
    if reading.kind == "document" and config.word_highlight and first then
      follow(reading, mark(reading, "word", first, last, "MdspeakWord", 160))
    end
    fire_update()
  elseif kind == "utterance_failed" then
    -- The service gave up on the speech from this utterance on (its synthesizer stopped
    -- working): say so and stop reading rather than wait for an end that will not come.
    finish_reading()
    notify("speech stopped: " .. tostring(message.reason), vim.log.levels.ERROR)
  elseif kind == "utterance_end" then
    if reading.queued and message.utterance_index + 1 >= reading.queued and not reading.paused then
      finish_reading()
    end
  end
end

local function on_exit(reason, quiet)
  state.service = nil
  state.ready = false
  state.docs = {}
  state.voices = nil
  state.pause_supported = nil
  finish_reading()
  if not quiet then
    notify(reason, vim.log.levels.ERROR)
  end
end

-- Sends a request from inside a `run` coroutine and returns its answer, or nil and a reason.
local function call(message, timeout_ms)
  if not state.service then
    return nil, "the service is not running" -- it died while this command waited
  end
  local step = steps[coroutine.running()]
  state.service:request(message, step, timeout_ms or config.answer_timeout_ms)
  return coroutine.yield()
end

-- What went wrong with an answer, or nil when it is the one expected.
local function answer_error(message, answer, reason, answer_type)
  if not answer then
    if reason == "timeout" then
      return ("the service did not answer %s"):format(message.type)
    end
    return reason
  end
  if answer.type == "error_result" then
    return answer.message
  end
  if answer.type ~= answer_type then
    return ("unexpected answer %s to %s"):format(tostring(answer.type), message.type)
  end
end

local function expect(message, answer_type)
  local answer, reason = call(message)
  local problem = answer_error(message, answer, reason, answer_type)
  if problem then
    fail(problem)
  end
  return answer
end

local function ensure_service()
  if state.service and state.service:running() and state.ready then
    return
  end
  if state.service and state.service:running() and state.starting then
    -- Another command is starting it: wait for its init answer instead of starting a second.
    local waiters = state.starting
    waiters[#waiters + 1] = steps[coroutine.running()]
    if not coroutine.yield() then
      fail_quietly() -- the starting command tells why
    end
    return
  end
  if state.service and state.service:running() then
    -- Started without a synthesizer: only a new process tries again.
    local old = state.service
    state.service = nil
    old:shutdown()
  end
  local path, why = M.service_path()
  if not path then
    fail(why)
  end
  -- Declared first, so that the handler below sees this process and not a global.
  local service
  service = service_mod.new(path, {
    on_event = on_event,
    on_exit = function(reason, quiet)
      if state.service == service then
        on_exit(reason, quiet)
      end
    end,
  })
  local ok, reason = service:start()
  if not ok then
    fail(reason)
  end
  state.service = service
  state.reading_refused = nil -- a new process may know the natural reading
  state.docs = {}
  state.voices = nil
  state.starting = {}
  local request = { type = "init" }
  local init, reason = call(request)
  local problem = answer_error(request, init, reason, "init_result")
  if problem and state.service == service then
    -- Silent or talking nonsense: whatever it might say or speak later is not ours to keep.
    state.service = nil
    service:kill()
  end
  if not problem and not init.available then
    local why = service_mod.null_to_nil(init.message) or init.backend
    problem = "speech synthesizer unavailable: " .. tostring(why)
  end
  local waiters = state.starting or {}
  state.starting = nil
  state.ready = problem == nil and state.service == service
  for _, waiter in ipairs(waiters) do
    vim.schedule(function()
      waiter(state.ready)
    end)
  end
  if problem then
    fail(problem)
  end
end

-- Documents --------------------------------------------------------------------------------

local function stop_for_edit(buf)
  local reading = state.reading
  if
    reading
    and reading.buf == buf
    and reading.kind == "document"
    and not config.keep_reading_on_edit
  then
    M.stop()
    notify("the buffer changed; reading stopped")
  end
end

local function watch_buffer(buf)
  if state.attached[buf] then
    return
  end
  state.attached[buf] = vim.api.nvim_buf_attach(buf, false, {
    on_lines = function()
      if not state.docs[buf] then
        state.attached[buf] = nil
        return true
      end
      local reading = state.reading
      if reading and reading.buf == buf then
        vim.schedule(function()
          stop_for_edit(buf)
        end)
      end
    end,
    on_reload = function()
      vim.schedule(function()
        stop_for_edit(buf)
      end)
    end,
    on_detach = function()
      state.attached[buf] = nil
    end,
  })
end

-- Loads the buffer into the service unless it is already loaded at this changedtick.
local function ensure_document(buf)
  local tick = vim.api.nvim_buf_get_changedtick(buf)
  local doc = state.docs[buf]
  if doc and doc.tick == tick then
    return doc
  end
  local lines = vim.api.nvim_buf_get_lines(buf, 0, -1, true)
  local source, starts = text.snapshot(lines)
  local id = "buffer-" .. buf
  local load = { type = "load_document", document_id = id, text = source }
  if config.reading == "natural" and not state.reading_refused then
    load.reading = "natural"
    local answer, reason = call(load)
    if answer and answer.type == "error_result" and answer.code == "unsupported_reading" then
      -- A service without the natural reading: read the plain way from now on.
      state.reading_refused = true
      load.reading = nil
      answer, reason = call(load)
    end
    local problem = answer_error(load, answer, reason, "load_document_result")
    if problem then
      fail(problem)
    end
  else
    expect(load, "load_document_result")
  end
  local prepared = expect({ type = "prepare_speech", document_id = id }, "prepare_speech_result")
  doc = {
    id = id,
    tick = tick,
    starts = starts,
    source = source,
    utterances = prepared.utterances,
    language = service_mod.null_to_nil(prepared.language_code),
  }
  state.docs[buf] = doc
  watch_buffer(buf)
  return doc
end

local function language_of(locale)
  locale = (locale or ""):lower()
  if locale:sub(1, 2) == "en" then
    return "en"
  elseif locale:sub(1, 2) == "es" then
    return "es"
  end
end

-- The voice the service picks: the one asked for when it fits the language, else the first
-- listed (best) voice of the language, else the first voice.
function M.chosen_voice(voices, wanted, language)
  for _, voice in ipairs(voices) do
    if voice.id == wanted and (not language or language_of(voice.locale) == language) then
      return voice
    end
  end
  for _, voice in ipairs(voices) do
    if not language or language_of(voice.locale) == language then
      return voice
    end
  end
  return voices[1]
end

local function announce(language)
  if not state.voices then
    local answer = expect({ type = "list_voices" }, "list_voices_result")
    state.voices = answer.voices
  end
  local voice = M.chosen_voice(state.voices, config.voice, language)
  state.language = language
  state.voice = voice and voice.name or nil
  local key = tostring(language) .. "\0" .. tostring(state.voice)
  if config.notify_language and state.announced ~= key then
    state.announced = key
    local names = { en = "English", es = "Spanish" }
    notify(("%s, voice %s"):format(names[language] or "language undecided", state.voice or "none"))
  end
end

-- Reading ----------------------------------------------------------------------------------

-- Starts speech for the command of `generation`, unless a later command took over meanwhile.
local function begin_reading(generation, fields)
  if generation ~= state.generation then
    return
  end
  local reading = {
    kind = fields.kind,
    buf = fields.buf,
    win = fields.win,
    doc_id = fields.doc.id,
    starts = fields.doc.starts,
    source = fields.doc.source,
    range = fields.range,
    marks = {},
    follow = fields.follow ~= false,
    cursor = nil,
  }
  local previous = state.reading
  if previous and previous.buf == reading.buf then
    reading.marks = previous.marks -- moved, not doubled, by the new reading's first events
  elseif previous then
    clear_marks(previous.buf)
  end
  state.reading = reading
  local request = {
    type = fields.kind == "summary" and "speak_summary" or "speak",
    document_id = reading.doc_id,
    rate = config.rate,
    voice_id = config.voice,
    word_events = config.word_highlight or nil,
  }
  if fields.kind == "document" then
    request.start_offset = fields.range[1]
    request.end_offset = fields.range[2]
  end
  local answer, reason = call(request)
  if state.reading ~= reading then
    return
  end
  local problem = answer_error(request, answer, reason, "speak_result")
  if problem then
    finish_reading()
    fail(problem)
  end
  reading.queued = answer.queued
  if answer.queued == 0 then
    finish_reading()
    notify("nothing to read there", vim.log.levels.WARN)
    return
  end
  if vim.api.nvim_win_is_valid(reading.win) then
    reading.cursor = vim.api.nvim_win_get_cursor(reading.win)
  end
  fire_update()
end

local function start(kind, buf, range)
  state.generation = state.generation + 1
  local generation = state.generation
  local win = vim.api.nvim_get_current_win()
  run(function()
    ensure_service()
    local doc = ensure_document(buf)
    if generation ~= state.generation then
      return
    end
    announce(doc.language)
    if generation ~= state.generation then
      return
    end
    begin_reading(generation, { kind = kind, buf = buf, win = win, doc = doc, range = range })
  end)
end

local function cursor_offset(buf, win)
  local doc_starts = select(2, text.snapshot(vim.api.nvim_buf_get_lines(buf, 0, -1, true)))
  local cursor = vim.api.nvim_win_get_cursor(win)
  return text.offset(doc_starts, cursor[1] - 1, cursor[2]), doc_starts
end

-- :MdspeakRead: from the cursor's utterance to the end, or the given lines / visual selection.
function M.read(opts)
  opts = opts or {}
  local buf = vim.api.nvim_get_current_buf()
  local win = vim.api.nvim_get_current_win()
  local offset, starts = cursor_offset(buf, win)
  local range = { offset, nil }
  if opts.range and opts.range > 0 then
    local first, last = opts.line1 - 1, opts.line2 - 1
    local start_col, end_col = 0, math.huge
    local from = vim.api.nvim_buf_get_mark(buf, "<")
    local to = vim.api.nvim_buf_get_mark(buf, ">")
    if vim.fn.visualmode() == "v" and from[1] == opts.line1 and to[1] == opts.line2 then
      start_col = from[2]
      local line = vim.api.nvim_buf_get_lines(buf, last, last + 1, false)[1] or ""
      local char = vim.fn.strpart(line, to[2], 1, true)
      end_col = to[2] + math.max(#char, 1)
    end
    range = { text.offset(starts, first, start_col), text.offset(starts, last, end_col) }
  end
  start("document", buf, range)
end

function M.summary()
  start("summary", vim.api.nvim_get_current_buf(), nil)
end

function M.stop()
  state.generation = state.generation + 1
  local reading = state.reading
  finish_reading()
  -- Stop also cancels an export (its answer then says so).
  if (reading or state.export) and state.service and state.service:running() then
    state.service:request({ type = "stop" }, function(answer, reason)
      if not answer then
        notify("stop failed: " .. tostring(reason), vim.log.levels.ERROR)
      elseif answer and answer.type == "error_result" then
        notify(answer.message, vim.log.levels.ERROR)
      end
    end, config.answer_timeout_ms)
  end
end

-- Where a read interrupted by stop starts again: its current utterance, to the same end.
local function restart_range(reading)
  local from = reading.utterance and reading.utterance[1]
    or (reading.range and reading.range[1])
    or 0
  return { from, reading.range and reading.range[2] }
end

-- Pauses `reading` (inside a coroutine): the service's own pause when it has one, else stop,
-- to start the current utterance again on resume.
local function pause_now(reading)
  reading.paused = true
  if state.pause_supported ~= false then
    local answer = call({ type = "pause" }, config.pause_timeout_ms)
    if answer and answer.type == "pause_result" then
      state.pause_supported = true
      if state.reading == reading then
        reading.pause_mode = "service"
        if not answer.paused then
          finish_reading() -- the speech had already ended
        end
      end
      fire_update()
      return
    end
    state.pause_supported = false
  end
  expect({ type = "stop" }, "stop_result")
  if state.reading == reading then
    reading.pause_mode = "restart"
    unmark(reading, "word")
  end
  fire_update()
end

local function resume_now(reading, generation)
  reading.resume_requested = nil
  if reading.pause_mode == "service" then
    local request = { type = "resume", rate = config.rate, voice_id = config.voice }
    local answer = expect(request, "resume_result")
    if state.reading ~= reading then
      return -- stopped meanwhile
    end
    if answer.resumed then
      reading.paused = false
      reading.pause_mode = nil
      fire_update()
      return
    end
  end
  local doc = state.docs[reading.buf]
  if not doc or doc.id ~= reading.doc_id then
    finish_reading()
    fail("the paused buffer is gone")
  end
  begin_reading(generation, {
    kind = reading.kind,
    buf = reading.buf,
    win = reading.win,
    doc = doc,
    range = restart_range(reading),
    follow = reading.follow,
  })
end

function M.pause()
  local reading = state.reading
  if reading and reading.paused and not reading.pause_mode then
    reading.resume_requested = false -- still pausing: a resume asked meanwhile is withdrawn
    return
  end
  if not reading or reading.paused then
    notify("nothing is being read")
    return
  end
  run(function()
    pause_now(reading)
    if reading.resume_requested and state.reading == reading and reading.pause_mode then
      state.generation = state.generation + 1
      resume_now(reading, state.generation)
    end
  end)
end

function M.resume()
  local reading = state.reading
  if reading and reading.paused and not reading.pause_mode then
    -- Asked before the pause was answered (a quick second toggle): resume once it is.
    reading.resume_requested = true
    return
  end
  if not reading or not reading.paused or not reading.pause_mode then
    notify("nothing is paused")
    return
  end
  state.generation = state.generation + 1
  run(resume_now, reading, state.generation)
end

function M.toggle()
  local reading = state.reading
  if reading and reading.paused then
    M.resume()
  elseif reading then
    M.pause()
  else
    M.read()
  end
end

-- :MdspeakNext / :MdspeakPrev: the utterance after or before the one being read (or the
-- cursor's). Utterances cut from one long block share its source range, so they move together.
local function jump(direction)
  local reading = state.reading
  local reads_document = reading and reading.kind == "document"
  local buf = reads_document and reading.buf or vim.api.nvim_get_current_buf()
  local here
  if reads_document and reading.utterance then
    here = reading.utterance[1]
  else
    here = cursor_offset(buf, vim.api.nvim_get_current_win())
  end
  local stop_at = reads_document and reading.range and reading.range[2]
  state.generation = state.generation + 1
  local generation = state.generation
  local win = reading and reading.win or vim.api.nvim_get_current_win()
  run(function()
    ensure_service()
    local doc = ensure_document(buf)
    local target
    for _, u in ipairs(doc.utterances) do
      if direction > 0 and u.start_offset > here then
        target = u
        break
      elseif direction < 0 and u.end_offset <= here and u.start_offset < here then
        target = u
      end
    end
    if direction < 0 and target then
      -- The first utterance of that block.
      for _, u in ipairs(doc.utterances) do
        if u.start_offset == target.start_offset then
          target = u
          break
        end
      end
    end
    if not target then
      notify(direction > 0 and "no next utterance" or "no previous utterance")
      return
    end
    if generation ~= state.generation then
      return
    end
    announce(doc.language)
    local range = { target.start_offset, stop_at or nil }
    if stop_at and stop_at <= target.start_offset then
      range[2] = nil
    end
    begin_reading(generation, { kind = "document", buf = buf, win = win, doc = doc, range = range })
  end)
end

function M.next()
  jump(1)
end

function M.prev()
  jump(-1)
end

-- Applies a new rate or voice to speech in progress, from the word it has reached.
local function reapply()
  local reading = state.reading
  if not reading or reading.paused then
    return
  end
  run(function()
    pause_now(reading)
    if state.reading == reading and reading.pause_mode then
      state.generation = state.generation + 1
      resume_now(reading, state.generation)
    end
  end)
end

function M.set_rate(rate)
  rate = tonumber(rate)
  -- The service refuses rates outside this range; say so here rather than read on unchanged.
  if not rate or rate < 0.5 or rate > 2.0 then
    notify("the rate must be a number from 0.5 to 2.0 (1.0 is normal speed)", vim.log.levels.ERROR)
    return
  end
  config.rate = rate
  reapply()
end

local function apply_voice(id)
  config.voice = id
  state.announced = nil
  -- The statusline names the new voice at once, not from the next reading on.
  if state.voices and state.reading then
    local voice = M.chosen_voice(state.voices, id, state.language)
    state.voice = voice and voice.name or nil
    vim.schedule(function()
      vim.cmd("redrawstatus")
    end)
  end
  reapply()
end

-- The service falls back on another voice for an id it does not know, so a typo would go
-- unnoticed: the id is checked against its list first.
function M.set_voice(id)
  run(function()
    ensure_service()
    if not state.voices then
      state.voices = expect({ type = "list_voices" }, "list_voices_result").voices
    end
    for _, voice in ipairs(state.voices) do
      if voice.id == id then
        apply_voice(id)
        return
      end
    end
    fail(("no voice %q (:MdspeakVoice without an argument lists them)"):format(id))
  end)
end

function M.choose_voice()
  run(function()
    ensure_service()
    local answer = expect({ type = "list_voices" }, "list_voices_result")
    state.voices = answer.voices
    if #answer.voices == 0 then
      fail("no English or Spanish voices are installed")
    end
    vim.ui.select(answer.voices, {
      prompt = "mdspeak voice",
      format_item = function(voice)
        return ("%s (%s)"):format(voice.name, service_mod.null_to_nil(voice.locale) or "?")
      end,
    }, function(voice)
      if voice then
        apply_voice(voice.id)
      end
    end)
  end)
end

-- :MdspeakExport {file}: the buffer (or the given lines) written to an audio file by the
-- service, chapters at its headings; progress in the statusline, a note when it is done.
function M.export(opts)
  opts = opts or {}
  if opts.args == nil or opts.args == "" then
    notify("give the audio file to write, e.g. :MdspeakExport book.m4b", vim.log.levels.ERROR)
    return
  end
  local path = vim.fn.fnamemodify(vim.fn.expand(opts.args), ":p")
  local buf = vim.api.nvim_get_current_buf()
  local range
  if opts.range and opts.range > 0 then
    local starts = select(2, text.snapshot(vim.api.nvim_buf_get_lines(buf, 0, -1, true)))
    range = { text.offset(starts, opts.line1 - 1, 0), text.offset(starts, opts.line2 - 1, math.huge) }
  end
  run(function()
    ensure_service()
    local doc = ensure_document(buf)
    local request = {
      type = "export",
      document_id = doc.id,
      path = path,
      rate = config.rate,
      voice_id = config.voice,
    }
    if range then
      request.start_offset, request.end_offset = range[1], range[2]
    end
    state.export = { path = path, done = 0, total = 0 }
    fire_update()
    -- Answered when the file is written; hours of audio take minutes.
    local answer, reason = call(request, 6 * 3600 * 1000)
    state.export = nil
    fire_update()
    local problem = answer_error(request, answer, reason, "export_result")
    if problem then
      fail("export failed: " .. problem)
    end
    if answer.cancelled then
      notify("export of " .. path .. " cancelled")
      return
    end
    local seconds = math.floor(answer.duration_ms / 1000 + 0.5)
    notify(("wrote %s: %d:%02d, %d chapters, %d words"):format(
      path, math.floor(seconds / 60), seconds % 60, answer.chapters, answer.words))
  end)
end

-- For statuslines: "" when idle, else what is going on.
function M.status()
  local reading = state.reading
  if not reading and state.export then
    local e = state.export
    local percent = e.total > 0 and math.floor(100 * e.done / e.total) or 0
    return ("mdspeak: exporting %d%%"):format(percent)
  end
  if not reading then
    return ""
  end
  local what = reading.paused and "paused" or (reading.kind == "summary" and "summary" or "reading")
  local parts = { "mdspeak: " .. what }
  if state.language then
    parts[#parts + 1] = state.language
  end
  if state.voice then
    parts[#parts + 1] = state.voice
  end
  return table.concat(parts, " · ")
end

-- What the plugin knows, for tests and custom statuslines.
function M.state()
  local reading = state.reading
  return {
    reading = reading and {
      kind = reading.kind,
      buf = reading.buf,
      paused = reading.pause_mode ~= nil, -- once silent, not while pausing
      utterance_index = reading.index,
      utterance = reading.utterance,
      word = reading.word,
      queued = reading.queued,
    } or nil,
    language = state.language,
    voice = state.voice,
    rate = config.rate,
    pause_supported = state.pause_supported,
    service_running = state.service ~= nil and state.service:running(),
  }
end

function M.buffer_unloaded(buf)
  if state.reading and state.reading.buf == buf then
    M.stop()
  end
  state.docs[buf] = nil
end

function M.shutdown()
  state.generation = state.generation + 1
  local service = state.service
  state.service = nil
  state.ready = false
  state.pause_supported = nil -- the next process is asked again
  finish_reading()
  if service then
    service:shutdown()
  end
end

local function default_mappings()
  local maps = {
    ["<Leader>sr"] = "<Cmd>MdspeakRead<CR>",
    ["<Leader>ss"] = "<Cmd>MdspeakStop<CR>",
    ["<Leader>sp"] = "<Cmd>MdspeakToggle<CR>",
    ["<Leader>sn"] = "<Cmd>MdspeakNext<CR>",
    ["<Leader>sN"] = "<Cmd>MdspeakPrev<CR>",
    ["<Leader>su"] = "<Cmd>MdspeakSummary<CR>",
  }
  for lhs, rhs in pairs(maps) do
    vim.keymap.set("n", lhs, rhs, { silent = true })
  end
  vim.keymap.set("x", "<Leader>sr", ":MdspeakRead<CR>", { silent = true })
end

function M.setup(opts)
  opts = opts or {}
  for key, value in pairs(opts) do
    if defaults[key] == nil and key ~= "service" and key ~= "voice" then
      notify("unknown option " .. key, vim.log.levels.WARN)
    end
    config[key] = value
  end
  if config.reading ~= "natural" and config.reading ~= "spec" then
    notify("reading must be \"natural\" or \"spec\"", vim.log.levels.WARN)
    config.reading = defaults.reading
  end
  if config.default_mappings then
    default_mappings()
  end
end

return M
