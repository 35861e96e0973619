-- Position memory per buffer file: where :MdspeakRead continues, and recording where a reading
-- of the file stopped (positions.lua keeps the file). A positions file that cannot be read or
-- written costs one warning, never the reading.
local positions = require("mdspeak.positions")
local state = require("mdspeak.state")
local text = require("mdspeak.text")

local M = {}

local uv = vim.uv or vim.loop

-- Warnings already given, so that each is given once.
local warned = {}

local function warn_once(message)
  if not warned[message] then
    warned[message] = true
    state.notify(message, vim.log.levels.WARN)
  end
end

-- The absolute path of the file a buffer shows, or nil for a buffer of no file.
function M.file_of(buf)
  if not vim.api.nvim_buf_is_valid(buf) or vim.bo[buf].buftype ~= "" then
    return nil
  end
  local name = vim.api.nvim_buf_get_name(buf)
  if name == "" then
    return nil
  end
  name = vim.fn.fnamemodify(name, ":p")
  return uv.fs_realpath(name) or name
end

local function digest_of(doc)
  doc.digest = doc.digest or positions.digest(doc.source)
  return doc.digest
end

-- Where the last reading of `path` (loaded as `doc`) stopped, as a byte offset, or nil when
-- nothing is remembered or the place is gone from the edited text.
function M.continue_at(path, doc)
  local store = positions.path()
  if not path or not store then
    return nil
  end
  local entries, why = positions.load(store)
  if not entries then
    warn_once(("cannot use the remembered positions (%s); reading from the cursor"):format(why))
    return nil
  end
  local saved = positions.find(entries, path)
  local offset = saved and positions.resume_offset(saved, digest_of(doc), doc.utterances)
  if offset then
    local heading = saved.heading ~= "" and (" '" .. saved.heading .. "'") or ""
    local where = heading:sub(2) .. " (the file has changed)"
    if saved.digest == doc.digest then
      where = ("%d:%d%s"):format(saved.line, saved.column, heading)
    end
    state.notify("continuing at " .. where)
  end
  return offset
end

local function store(update)
  local path = positions.path()
  if not path then
    return
  end
  local entries = positions.load(path) or {} -- a damaged file was warned about; it is replaced
  local updated = update(entries)
  if updated then
    local ok, why = positions.store(path, updated)
    if not ok then
      warn_once("cannot remember the position: " .. why)
    end
  end
end

-- Records that the reading of `path` (loaded as `doc`) stopped in the utterance starting at
-- byte `offset`.
function M.stopped(path, doc, offset)
  if not path then
    return
  end
  local row, col = text.position(doc.starts, offset)
  local line_end = doc.starts[row + 2] and doc.starts[row + 2] - 1
  local line = doc.source:sub(doc.starts[row + 1] + 1, line_end)
  local column = vim.str_utfindex(line, math.min(col, #line)) + 1
  local entry = positions.entry(path, digest_of(doc), offset, row + 1, column, doc.utterances)
  store(function(entries)
    return positions.remember(entries, entry)
  end)
end

-- Records that `path` was read to its end: the next reading starts afresh.
function M.finished(path)
  if not path then
    return
  end
  store(function(entries)
    if positions.find(entries, path) then
      return positions.forget(entries, path)
    end
  end)
end

return M
