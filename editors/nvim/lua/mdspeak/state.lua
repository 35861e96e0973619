-- What the plugin's modules share: the options, and one table of state with an owner per field.
--
-- Everything runs on Neovim's main loop (service output, timers and commands alike), so nothing
-- races; what can go stale is a command's view across a wait for the service. Such a command
-- holds the `generation` it started under, or the `reading` it started, and acts on what it
-- learned only while that is still current.
local M = {}

M.defaults = {
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
  reading = "natural", -- sentence by sentence in source order, code blocks announced; or "plain"
  pronunciations = nil, -- path of the pronunciation list; else the one in the config directory
}

-- Written by setup(), :MdspeakRate and :MdspeakVoice only.
M.config = vim.deepcopy(M.defaults)

-- The shared state: the owner of each field in brackets, the other modules only read it.

-- [session] The service process of this Neovim and what it told about itself.
M.service = nil
M.ready = false -- init answered with a working synthesizer
M.starting = nil -- while init is awaited: the steps of other commands waiting for it
M.reading_refused = false -- it refused the natural reading: load the plain way
M.voices = nil -- its list_voices answer, once asked
M.pronunciations = nil -- { key = version of the list sent, count = entries it took }
-- [session] bufnr -> { id, tick, starts, source, utterances, language, digest } as loaded; the
-- digest is computed when first needed.
M.docs = {}
M.attached = {} -- bufnr -> attach result while its changes are watched

-- [reading] nil until the first pause; false once the service left it unanswered.
M.pause_supported = nil
-- [reading] The reading in progress (see reading.lua), or nil.
M.reading = nil
-- [reading] What the statusline shows: the language and the voice heard as the service tells
-- them (before it does: the document's language and the voice asked for), and the last pair
-- announced with a notification.
M.language = nil
M.voice_id = nil
M.announced = nil

-- [commands, reading] Bumped by every command that starts or ends speech, and by the reading
-- when it stops or restarts it.
M.generation = 0
-- [commands] { path, done, total } while an export runs.
M.export = nil

function M.notify(message, level)
  vim.notify("mdspeak: " .. message, level or vim.log.levels.INFO)
end

-- Tells statuslines and User MdspeakUpdate autocommands that something changed.
function M.fire_update()
  if vim.fn.exists("#User#MdspeakUpdate") == 1 then
    pcall(vim.cmd, "doautocmd <nomodeline> User MdspeakUpdate")
  end
end

-- `name` in the mdspeak folder of the XDG base directory $`variable` (used only when absolute),
-- else of `fallback` in the home directory; nil when neither says where.
function M.xdg_file(variable, fallback, name)
  local base = vim.env[variable]
  if base and base:sub(1, 1) == "/" then -- a relative value is to be ignored
    return base .. "/mdspeak/" .. name
  end
  local home = vim.env.HOME
  if home and home ~= "" then
    return home .. "/" .. fallback .. "/mdspeak/" .. name
  end
end

return M
