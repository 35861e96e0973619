-- The service process of this Neovim: found, started by the first command that needs it, told
-- the user's pronunciations, and the buffers loaded into it.
--
-- State contract (state.lua): this module alone writes `service`, `ready`, `starting`,
-- `reading_refused`, `voices`, `pronunciations`, `docs` and `attached`. Every function that
-- waits for an answer runs inside a command (task.run). A process that ends takes its
-- documents, voices and reading with it; the next command starts a new one.
local service_mod = require("mdspeak.service")
local state = require("mdspeak.state")
local task = require("mdspeak.task")
local text = require("mdspeak.text")
local pronunciations = require("mdspeak.pronunciations")

local M = {}

local config = state.config
local uv = vim.uv or vim.loop

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

local function forget_process()
  state.service = nil
  state.ready = false
  state.docs = {}
  state.voices = nil
  state.pronunciations = nil
end

local function on_exit(reason, quiet)
  forget_process()
  require("mdspeak.reading").process_ended()
  if not quiet then
    state.notify(reason, vim.log.levels.ERROR)
  end
end

-- Pronunciations ---------------------------------------------------------------------------

-- Problems already told, by list version and text: a restarted service or the next command
-- does not tell them again.
local told = {}

local function tell_once(key, message, level)
  if not told[key .. "\0" .. message] then
    told[key .. "\0" .. message] = true
    state.notify(message, level or vim.log.levels.WARN)
  end
end

-- Hands the user's pronunciation list to the service when it does not have this version of it
-- yet (a new process, an edited file). The answer is not waited for: the service takes
-- requests in order, so what is spoken after this already uses the list. An older service
-- leaves the request unanswered, which costs nothing.
function M.sync_pronunciations()
  local service = state.service
  local path = pronunciations.path(config.pronunciations)
  local stat = path and uv.fs_stat(path)
  local key = stat and ("%s:%d.%d:%d"):format(path, stat.mtime.sec, stat.mtime.nsec or 0, stat.size)
    or ("none:" .. tostring(path))
  local sent = state.pronunciations
  if sent and sent.key == key then
    return
  end
  local entries = {}
  if stat then
    local source, why = pronunciations.read(path)
    if not source then
      tell_once(key, "cannot read the pronunciations: " .. tostring(why))
    else
      local problems
      entries, problems = pronunciations.parse(source)
      local lines = {}
      for _, p in ipairs(problems) do
        lines[#lines + 1] = pronunciations.describe(path, p)
      end
      if #lines > 0 then
        tell_once(key, table.concat(lines, "\n"))
      end
    end
  elseif config.pronunciations then
    tell_once(key, "no pronunciation list at " .. tostring(path))
  end
  state.pronunciations = { key = key, count = sent and sent.count }
  if #entries == 0 and not (sent and sent.count) then
    return -- nothing to replace
  end
  local entry = state.pronunciations
  service:request(pronunciations.request(entries), function(answer)
    if not answer or state.service ~= service then
      return
    end
    if answer.type == "set_pronunciations_result" then
      entry.count = answer.count
    elseif answer.type == "error_result" then
      tell_once(key, "the pronunciations were not taken: " .. tostring(answer.message))
    end
  end, config.answer_timeout_ms, { background = true })
end

-- Process ----------------------------------------------------------------------------------

-- Makes sure a service that can speak is running, starting one when needed.
function M.ensure_service()
  if state.service and state.service:running() and state.ready then
    M.sync_pronunciations()
    return
  end
  if state.service and state.service:running() and state.starting then
    -- Another command is starting it: wait for its init answer instead of starting a second.
    local waiters = state.starting
    waiters[#waiters + 1] = task.current_step()
    if not coroutine.yield() then
      task.fail_quietly() -- the starting command tells why
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
    task.fail(why)
  end
  -- Declared first, so that the handler below sees this process and not a global.
  local service
  service = service_mod.new(path, {
    on_event = function(message)
      require("mdspeak.reading").on_event(message)
    end,
    on_exit = function(reason, quiet)
      if state.service == service then
        on_exit(reason, quiet)
      end
    end,
  })
  local ok, reason = service:start()
  if not ok then
    task.fail(reason)
  end
  forget_process()
  state.service = service
  state.reading_refused = false -- a new process may know the natural reading
  state.starting = {}
  local request = { type = "init" }
  local init, failure = task.call(request)
  local problem = task.answer_error(request, init, failure, "init_result")
  if problem and state.service == service then
    -- Silent or talking nonsense: whatever it might say or speak later is not ours to keep.
    state.service = nil
    service:kill()
  end
  if not problem and not init.available then
    local reason_given = service_mod.null_to_nil(init.message) or init.backend
    problem = "speech synthesizer unavailable: " .. tostring(reason_given)
  end
  local waiters = state.starting or {}
  state.starting = nil
  state.ready = problem == nil and state.service == service
  if state.ready then
    M.sync_pronunciations()
  end
  for _, waiter in ipairs(waiters) do
    vim.schedule(function()
      waiter(state.ready)
    end)
  end
  if problem then
    task.fail(problem)
  end
end

-- The service's voices, asked once per process (`refresh`: again).
function M.voices(refresh)
  if refresh or not state.voices then
    -- With details, a service that has them names each voice's engine and word timing.
    state.voices =
      task.expect({ type = "list_voices", details = true }, "list_voices_result").voices
  end
  return state.voices
end

-- The name of voice `id` in the service's list, else the id itself.
function M.voice_name(id)
  for _, voice in ipairs(state.voices or {}) do
    if voice.id == id then
      return voice.name
    end
  end
  return id
end

-- Ends the process: silence, then closed input.
function M.shutdown()
  local service = state.service
  forget_process()
  if service then
    service:shutdown()
  end
end

-- Documents --------------------------------------------------------------------------------

local function watch_buffer(buf)
  if state.attached[buf] then
    return
  end
  local function edited()
    vim.schedule(function()
      require("mdspeak.reading").buffer_edited(buf)
    end)
  end
  state.attached[buf] = vim.api.nvim_buf_attach(buf, false, {
    on_lines = function()
      if not state.docs[buf] then
        state.attached[buf] = nil
        return true
      end
      local reading = state.reading
      if reading and reading.buf == buf then
        edited()
      end
    end,
    on_reload = edited,
    on_detach = function()
      state.attached[buf] = nil
    end,
  })
end

-- Loads the buffer into the service unless it is already loaded at this changedtick.
function M.ensure_document(buf)
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
    local answer, reason = task.call(load)
    if answer and answer.type == "error_result" and answer.code == "unsupported_reading" then
      -- A service without the natural reading: read the plain way from now on.
      state.reading_refused = true
      load.reading = nil
      answer, reason = task.call(load)
    end
    local problem = task.answer_error(load, answer, reason, "load_document_result")
    if problem then
      task.fail(problem)
    end
  else
    task.expect(load, "load_document_result")
  end
  local prepared =
    task.expect({ type = "prepare_speech", document_id = id }, "prepare_speech_result")
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

-- Forgets what was loaded from an unloaded buffer.
function M.drop_document(buf)
  state.docs[buf] = nil
end

return M
