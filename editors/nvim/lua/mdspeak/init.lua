-- Reads Markdown buffers aloud through mdspeak-service, highlighting what is spoken: the
-- commands and the Lua API. The work is done by the modules beside this one:
--   state           options, and the shared state with the owner of each field
--   service         one service process: JSON lines, answers matched to requests by id
--   task            commands as coroutines that wait for the service's answers
--   session         the process of this Neovim: start, init, pronunciations, loaded buffers
--   reading         the reading in progress: events, pause and resume, its end
--   highlight       the extmarks of the utterance and the word heard
--   follow          the cursor that goes along with them
--   memory          where each file's reading stopped (positions: the file kept for it)
--   pronunciations  the user's pronunciation list
--   text            the text sent and its byte offsets
-- Commands here write only `generation`, `export` and the options; the rest of the state
-- changes through the module that owns it.
local highlight = require("mdspeak.highlight")
local memory = require("mdspeak.memory")
local reading_mod = require("mdspeak.reading")
local service_mod = require("mdspeak.service")
local session = require("mdspeak.session")
local state = require("mdspeak.state")
local task = require("mdspeak.task")
local text = require("mdspeak.text")

local M = {}

local config = state.config
local notify = state.notify

M.namespace = highlight.namespace
M.service_path = session.service_path

-- Starts speaking `kind` ("document" or "summary") of `buf` from `range`; `continues`: from
-- where the last reading of the buffer's file stopped, when that is remembered.
local function start(kind, buf, range, continues)
  state.generation = state.generation + 1
  local generation = state.generation
  local win = vim.api.nvim_get_current_win()
  local current = state.reading
  task.run(function()
    session.ensure_service()
    local doc = session.ensure_document(buf)
    if generation ~= state.generation then
      return
    end
    if continues then
      -- A reading of this buffer going on continues from where it is.
      local place = current and current.buf == buf and current.kind == "document" and current.place
        or memory.continue_at(memory.file_of(buf), doc)
      if place then
        range = { place, nil }
      end
    end
    reading_mod.expect_voice(doc)
    if generation ~= state.generation then
      return
    end
    reading_mod.begin(generation, { kind = kind, buf = buf, win = win, doc = doc, range = range })
  end)
end

local function cursor_offset(buf, win)
  local doc_starts = select(2, text.snapshot(vim.api.nvim_buf_get_lines(buf, 0, -1, true)))
  local cursor = vim.api.nvim_win_get_cursor(win)
  return text.offset(doc_starts, cursor[1] - 1, cursor[2]), doc_starts
end

-- :MdspeakRead: where the last reading of the file stopped, else from the cursor's utterance,
-- to the end; :MdspeakRead! from the cursor; the given lines or visual selection.
function M.read(opts)
  opts = opts or {}
  local buf = vim.api.nvim_get_current_buf()
  local win = vim.api.nvim_get_current_win()
  local offset, starts = cursor_offset(buf, win)
  local range = { offset, nil }
  local ranged = opts.range and opts.range > 0
  if ranged then
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
  start("document", buf, range, not ranged and not opts.bang)
end

function M.summary()
  start("summary", vim.api.nvim_get_current_buf(), nil)
end

function M.stop()
  reading_mod.stop()
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
  task.run(function()
    reading_mod.pause_now(reading)
    if reading.resume_requested and state.reading == reading and reading.pause_mode then
      state.generation = state.generation + 1
      reading_mod.resume_now(reading, state.generation)
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
  task.run(reading_mod.resume_now, reading, state.generation)
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

-- The utterance to move to from byte `here`: the first starting after it, or the first of the
-- block before it (utterances cut from one long block share its range, so they move together).
local function neighbour(utterances, here, direction)
  local target
  for _, u in ipairs(utterances) do
    if direction > 0 and u.start_offset > here then
      return u
    elseif direction < 0 and u.end_offset <= here and u.start_offset < here then
      target = u
    end
  end
  for _, u in ipairs(target and utterances or {}) do
    if u.start_offset == target.start_offset then
      return u
    end
  end
end

-- :MdspeakNext / :MdspeakPrev: the utterance after or before the one being read (or the
-- cursor's).
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
  local stop_at = reads_document and reading.range[2]
  state.generation = state.generation + 1
  local generation = state.generation
  local win = reading and reading.win or vim.api.nvim_get_current_win()
  task.run(function()
    session.ensure_service()
    local doc = session.ensure_document(buf)
    local target = neighbour(doc.utterances, here, direction)
    if not target then
      notify(direction > 0 and "no next utterance" or "no previous utterance")
      return
    end
    if generation ~= state.generation then
      return
    end
    reading_mod.expect_voice(doc)
    local range = { target.start_offset, stop_at or nil }
    if stop_at and stop_at <= target.start_offset then
      range[2] = nil
    end
    reading_mod.begin(generation,
      { kind = "document", buf = buf, win = win, doc = doc, range = range })
  end)
end

function M.next()
  jump(1)
end

function M.prev()
  jump(-1)
end

function M.set_rate(rate)
  rate = tonumber(rate)
  -- The service refuses rates outside this range; say so here rather than read on unchanged.
  if not rate or rate < 0.5 or rate > 2.0 then
    notify("the rate must be a number from 0.5 to 2.0 (1.0 is normal speed)", vim.log.levels.ERROR)
    return
  end
  config.rate = rate
  reading_mod.reapply()
end

local function apply_voice(id)
  config.voice = id
  reading_mod.voice_chosen(id)
  reading_mod.reapply()
end

-- The service falls back on another voice for an id it does not know, so a typo would go
-- unnoticed: the id is checked against its list first.
function M.set_voice(id)
  task.run(function()
    session.ensure_service()
    for _, voice in ipairs(session.voices()) do
      if voice.id == id then
        apply_voice(id)
        return
      end
    end
    task.fail(("no voice %q (:MdspeakVoice without an argument lists them)"):format(id))
  end)
end

-- One line of the voice picker: "Alan (en) · rhvoice", with the word timing when it is not exact
-- (the highlight then runs ahead of or behind the voice, or is estimated).
function M.voice_item(voice)
  local item = ("%s (%s)"):format(voice.name, service_mod.null_to_nil(voice.locale) or "?")
  local engine = service_mod.null_to_nil(voice.engine)
  if engine then
    item = item .. " · " .. engine
  end
  local timing = service_mod.null_to_nil(voice.word_timing)
  if timing and timing ~= "exact" then
    item = item .. " · word timing " .. timing
  end
  return item
end

function M.choose_voice()
  task.run(function()
    session.ensure_service()
    local voices = session.voices(true)
    if #voices == 0 then
      task.fail("no English or Spanish voices are installed")
    end
    vim.ui.select(voices, {
      prompt = "mdspeak voice",
      format_item = M.voice_item,
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
  task.run(function()
    session.ensure_service()
    local doc = session.ensure_document(buf)
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
    state.fire_update()
    -- Answered when the file is written; hours of audio take minutes.
    local answer, reason = task.call(request, 6 * 3600 * 1000)
    state.export = nil
    state.fire_update()
    local problem = task.answer_error(request, answer, reason, "export_result")
    if problem then
      task.fail("export failed: " .. problem)
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

-- For statuslines: "" when idle, else what is going on, the language and the voice heard.
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
  if state.voice_id then
    parts[#parts + 1] = session.voice_name(state.voice_id)
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
    voice = state.voice_id and session.voice_name(state.voice_id),
    voice_id = state.voice_id,
    rate = config.rate,
    pause_supported = state.pause_supported,
    pronunciations = state.pronunciations and state.pronunciations.count,
    service_running = state.service ~= nil and state.service:running(),
  }
end

function M.buffer_unloaded(buf)
  if state.reading and state.reading.buf == buf then
    M.stop()
  end
  session.drop_document(buf)
end

function M.shutdown()
  state.generation = state.generation + 1
  reading_mod.process_ended()
  session.shutdown()
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

-- Options without a default, yet known.
local kOptional = { service = true, voice = true, pronunciations = true }

function M.setup(opts)
  opts = opts or {}
  for key, value in pairs(opts) do
    if state.defaults[key] == nil and not kOptional[key] then
      notify("unknown option " .. key, vim.log.levels.WARN)
    end
    config[key] = service_mod.null_to_nil(value) -- vim.NIL: back to the default of none
  end
  if config.reading ~= "natural" and config.reading ~= "plain" then
    notify("reading must be \"natural\" or \"plain\"", vim.log.levels.WARN)
    config.reading = state.defaults.reading
  end
  if config.default_mappings then
    default_mappings()
  end
end

return M
