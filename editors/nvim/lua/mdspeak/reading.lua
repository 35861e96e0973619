-- The reading in progress: what is being spoken, its highlights, pause and resume, its end.
--
-- State contract (state.lua): this module alone writes `reading`, `pause_supported`,
-- `language`, `voice_id` and `announced`; it bumps `generation` when it stops or restarts
-- speech. A reading is a table:
--   kind "document" | "summary", buf, win, doc (as loaded), range {first, last|nil},
--   file (the buffer's file for position memory, or nil), marks (highlight.lua),
--   follow, cursor (follow.lua),
--   index, utterance {first, last}, utterance_text, word {first, last}, place (where the
--   utterance being heard starts: the place to continue from), queued (speak's count),
--   paused (true from the pause command on), pause_mode ("service" once the service paused,
--   "restart" once it was stopped instead; nil while pausing), resume_requested,
--   announced (its first utterance was announced).
-- A reading ends in `finish`: "ended" (spoken to its end), "stopped" (its place is
-- remembered) or nil (given up, nothing to remember).
local highlight = require("mdspeak.highlight")
local follow = require("mdspeak.follow")
local memory = require("mdspeak.memory")
local service_mod = require("mdspeak.service")
local session = require("mdspeak.session")
local state = require("mdspeak.state")
local task = require("mdspeak.task")
local text = require("mdspeak.text")

local M = {}

local config = state.config
local null_to_nil = service_mod.null_to_nil

local function remember(reading)
  if reading.kind == "document" and reading.place then
    memory.stopped(reading.file, reading.doc, reading.place)
  end
end

function M.finish(how)
  local reading = state.reading
  state.reading = nil
  if not reading then
    return
  end
  highlight.clear(reading.buf)
  if how == "stopped" then
    remember(reading)
  elseif how == "ended" and reading.kind == "document" and not reading.range[2] then
    memory.finished(reading.file)
  end
  state.fire_update()
end

-- Ends whatever is being spoken (an export too: its answer then says so).
function M.stop()
  state.generation = state.generation + 1
  local reading = state.reading
  M.finish("stopped")
  if (reading or state.export) and state.service and state.service:running() then
    state.service:request({ type = "stop" }, function(answer, reason)
      if not answer then
        state.notify("stop failed: " .. tostring(reason), vim.log.levels.ERROR)
      elseif answer.type == "error_result" then
        state.notify(answer.message, vim.log.levels.ERROR)
      end
    end, config.answer_timeout_ms)
  end
end

function M.process_ended()
  state.pause_supported = nil -- the next process is asked again
  M.finish("stopped")
end

function M.buffer_edited(buf)
  local reading = state.reading
  if reading and reading.buf == buf and reading.kind == "document"
    and not config.keep_reading_on_edit
  then
    M.stop()
    state.notify("the buffer changed; reading stopped")
  end
end

-- What the statusline shows before the service tells what it speaks with: the document's
-- language and the voice asked for (none: the service chooses).
function M.expect_voice(doc)
  session.voices() -- their names, for the statusline
  state.language = doc.language
  state.voice_id = config.voice
end

-- Shows a voice chosen while reading at once, before the service speaks with it.
function M.voice_chosen(id)
  state.announced = nil
  if state.reading then
    state.voice_id = id
    state.fire_update()
    vim.schedule(function()
      vim.cmd("redrawstatus")
    end)
  end
end

-- Tells the language and voice of a reading's first utterance, unless they were told last.
local function announce(reading)
  reading.announced = true
  local name = state.voice_id and session.voice_name(state.voice_id)
  local key = tostring(state.language) .. "\0" .. tostring(name)
  if config.notify_language and state.announced ~= key then
    state.announced = key
    local names = { en = "English", es = "Spanish" }
    local language = names[state.language] or "language undecided"
    state.notify(name and ("%s, voice %s"):format(language, name) or language)
  end
end

-- Events -----------------------------------------------------------------------------------

local function utterance_begin(reading, message)
  reading.index = message.utterance_index
  reading.utterance = { message.start_offset, message.end_offset }
  reading.utterance_text = message.text
  reading.word = nil
  -- In the natural reading the service tells each utterance's language and voice.
  if message.language_code ~= nil then
    state.language = null_to_nil(message.language_code)
  end
  if null_to_nil(message.voice_id) then
    state.voice_id = message.voice_id
  end
  if not reading.announced then
    announce(reading)
  end
  if reading.kind == "document" then
    reading.place = message.start_offset
    highlight.unmark(reading, "word")
    local first, last = message.start_offset, message.end_offset
    follow.to(reading, highlight.mark(reading, "utterance", first, last, "MdspeakUtterance", 150))
  end
  state.fire_update()
end

local function utterance_word(reading, message)
  local first, last = message.start_offset, message.end_offset
  local u = reading.utterance
  if reading.kind == "document" and u and first == u[1] and last == u[2] then
    -- Only the utterance's range: find the word in the text that was sent.
    first, last = text.find_word(reading.doc.source, u[1], u[2], reading.utterance_text or "",
      message.text_start or 0, message.text or "")
  end
  reading.word = first and { first, last } or nil
  if reading.kind == "document" and config.word_highlight and first then
    follow.to(reading, highlight.mark(reading, "word", first, last, "MdspeakWord", 160))
  end
  state.fire_update()
end

function M.on_event(message)
  if message.type == "export_progress" then
    if state.export then
      state.export.done, state.export.total = message.done, message.total
      state.fire_update()
    end
    return
  end
  if message.type == "pause_result" then
    state.pause_supported = true -- it came too late, yet the service does pause
    return
  end
  local reading = state.reading
  if not reading or message.document_id ~= reading.doc.id then
    return
  end
  local kind = message.type
  if kind == "utterance_begin" then
    utterance_begin(reading, message)
  elseif kind == "utterance_word" then
    utterance_word(reading, message)
  elseif kind == "utterance_failed" then
    -- The service gave up on the speech from this utterance on (its synthesizer stopped
    -- working): say so and stop reading rather than wait for an end that will not come.
    M.finish("stopped")
    state.notify("speech stopped: " .. tostring(message.reason), vim.log.levels.ERROR)
  elseif kind == "utterance_end" then
    if reading.queued and message.utterance_index + 1 >= reading.queued and not reading.paused then
      M.finish("ended")
    end
  end
end

-- Speaking ---------------------------------------------------------------------------------

-- Starts speech for the command of `generation`, unless a later command took over meanwhile.
-- `fields`: kind, buf, win, doc, range, and for a restart follow and place.
function M.begin(generation, fields)
  if generation ~= state.generation then
    return
  end
  local reading = {
    kind = fields.kind,
    buf = fields.buf,
    win = fields.win,
    doc = fields.doc,
    range = fields.range or {},
    file = fields.kind == "document" and memory.file_of(fields.buf) or nil,
    marks = {},
    follow = fields.follow ~= false,
    place = fields.place,
  }
  local previous = state.reading
  if previous and previous.buf == reading.buf then
    reading.marks = previous.marks -- moved, not doubled, by the new reading's first events
  elseif previous then
    highlight.clear(previous.buf)
  end
  if previous and previous.kind == "document"
    and (reading.kind ~= "document" or previous.buf ~= reading.buf)
  then
    remember(previous) -- that file's place, before another reading takes over
  end
  state.reading = reading
  local request = {
    type = fields.kind == "summary" and "speak_summary" or "speak",
    document_id = reading.doc.id,
    rate = config.rate,
    voice_id = config.voice,
    word_events = config.word_highlight or nil,
  }
  if fields.kind == "document" then
    request.start_offset = reading.range[1]
    request.end_offset = reading.range[2]
  end
  local answer, reason = task.call(request)
  if state.reading ~= reading then
    return
  end
  local problem = task.answer_error(request, answer, reason, "speak_result")
  if problem then
    M.finish()
    task.fail(problem)
  end
  reading.queued = answer.queued
  if answer.queued == 0 then
    M.finish()
    state.notify("nothing to read there", vim.log.levels.WARN)
    return
  end
  follow.settle(reading)
  state.fire_update()
end

-- Where a read interrupted by stop starts again: its current utterance, to the same end.
local function restart_range(reading)
  local from = reading.utterance and reading.utterance[1] or reading.range[1] or 0
  return { from, reading.range[2] }
end

-- Pauses `reading` (inside a command): the service's own pause when it has one, else stop, to
-- start the current utterance again on resume.
function M.pause_now(reading)
  reading.paused = true
  if state.pause_supported ~= false then
    local answer = task.call({ type = "pause" }, config.pause_timeout_ms)
    if answer and answer.type == "pause_result" then
      state.pause_supported = true
      if state.reading == reading then
        reading.pause_mode = "service"
        if not answer.paused then
          M.finish("ended") -- the speech had already ended
        end
      end
      state.fire_update()
      return
    end
    state.pause_supported = false
  end
  task.expect({ type = "stop" }, "stop_result")
  if state.reading == reading then
    reading.pause_mode = "restart"
    highlight.unmark(reading, "word")
  end
  state.fire_update()
end

function M.resume_now(reading, generation)
  reading.resume_requested = nil
  if reading.pause_mode == "service" then
    local request = { type = "resume", rate = config.rate, voice_id = config.voice }
    local answer = task.expect(request, "resume_result")
    if state.reading ~= reading then
      return -- stopped meanwhile
    end
    if answer.resumed then
      reading.paused = false
      reading.pause_mode = nil
      state.fire_update()
      return
    end
  end
  local doc = state.docs[reading.buf]
  if not doc or doc.id ~= reading.doc.id then
    M.finish("stopped")
    task.fail("the paused buffer is gone")
  end
  M.begin(generation, {
    kind = reading.kind,
    buf = reading.buf,
    win = reading.win,
    doc = doc,
    range = restart_range(reading),
    follow = reading.follow,
    place = reading.place,
  })
end

-- Pauses and resumes at once, so that a new rate or voice applies from the word reached.
function M.reapply()
  local reading = state.reading
  if not reading or reading.paused then
    return
  end
  task.run(function()
    M.pause_now(reading)
    if state.reading == reading and reading.pause_mode then
      state.generation = state.generation + 1
      M.resume_now(reading, state.generation)
    end
  end)
end

return M
