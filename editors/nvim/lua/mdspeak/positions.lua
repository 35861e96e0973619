-- Where the reading of each file stopped, so that :MdspeakRead continues there.
--
-- The file is the one the terminal reader `mdspeak` keeps ($XDG_STATE_HOME/mdspeak/positions),
-- in its format, so either continues where the other stopped: a JSON object
-- {"format":"mdspeak-positions","files":[…]}, most recent first, each entry the file's absolute
-- path, the digest of the text read, the byte offset of the utterance to continue with, its
-- line and column (1-based, the column in characters), and the heading it sits under with that
-- heading's offset. The whole file is read, updated and written back through a temporary file
-- renamed over it, so a crash leaves either file whole. The pure parts (digest, parse, update,
-- finding the place again in an edited file) are apart from the file access.
local M = {}

M.kRememberedFiles = 200
local kFormat = "mdspeak-positions"

-- 64-bit FNV-1a of `content` in 16 hex digits: not secret, only "has this file changed". Done
-- in four 16-bit limbs so that plain Lua numbers hold every partial product exactly.
function M.digest(content)
  local h0, h1, h2, h3 = 0x2325, 0x8422, 0x9ce4, 0xcbf2 -- 0xcbf29ce484222325
  local bxor = bit.bxor
  for i = 1, #content do
    h0 = bxor(h0, content:byte(i))
    -- h * (2^40 + 0x1b3) mod 2^64
    local a0 = h0 * 0x1b3
    local a1 = h1 * 0x1b3 + math.floor(a0 / 0x10000)
    local a2 = h2 * 0x1b3 + math.floor(a1 / 0x10000) + (h0 % 0x100) * 0x100
    local a3 = h3 * 0x1b3 + math.floor(a2 / 0x10000) + math.floor(h0 / 0x100) + (h1 % 0x100) * 0x100
    h0, h1, h2, h3 = a0 % 0x10000, a1 % 0x10000, a2 % 0x10000, a3 % 0x10000
  end
  return ("%04x%04x%04x%04x"):format(h3, h2, h1, h0)
end

local function is_count(value)
  return type(value) == "number" and value >= 0 and value == math.floor(value)
end

-- The members of an entry, as written.
local kMembers = { "path", "digest", "offset", "line", "column", "heading", "heading_offset" }

local function members(e)
  local picked = {}
  for _, key in ipairs(kMembers) do
    picked[key] = e[key]
  end
  return picked
end

-- The entries of a positions file's text, most recent first; entries with missing or wrong
-- members are dropped. Nil and a reason when the text is not a positions file.
function M.parse(text)
  local ok, document = pcall(vim.json.decode, text)
  if not ok or type(document) ~= "table" or document.format ~= kFormat
    or type(document.files) ~= "table" or (next(document.files) ~= nil and not document.files[1])
  then
    return nil, "not a positions file"
  end
  local entries, seen = {}, {}
  for _, file in ipairs(document.files) do
    if type(file) == "table" and type(file.path) == "string" and file.path ~= ""
      and type(file.digest) == "string" and type(file.heading) == "string"
      and is_count(file.offset) and is_count(file.heading_offset)
      and is_count(file.line) and file.line > 0 and is_count(file.column) and file.column > 0
      and not seen[file.path]
    then
      seen[file.path] = true
      entries[#entries + 1] = members(file)
    end
  end
  return entries
end

function M.serialise(entries)
  local files = {}
  for i, e in ipairs(entries) do
    files[i] = vim.json.encode(members(e))
  end
  return ('{"format":"%s","files":[\n%s\n]}\n'):format(kFormat, table.concat(files, ",\n"))
end

function M.find(entries, path)
  for _, e in ipairs(entries) do
    if e.path == path then
      return e
    end
  end
end

function M.forget(entries, path)
  return vim.tbl_filter(function(e)
    return e.path ~= path
  end, entries)
end

-- `entry` first, replacing any for the same path; at most `limit` entries kept.
function M.remember(entries, entry, limit)
  local kept = { entry }
  for _, e in ipairs(M.forget(entries, entry.path)) do
    if #kept >= (limit or M.kRememberedFiles) then
      break
    end
    kept[#kept + 1] = e
  end
  return kept
end

-- The place to continue at in `utterances` (the service's list) for a file whose text now has
-- `digest`: the remembered offset when the text is the same, else the heading with the
-- remembered heading's text nearest its old offset; nil when neither is there.
function M.resume_offset(saved, digest, utterances)
  if saved.digest == digest then
    return saved.offset
  end
  if saved.heading == "" then
    return nil
  end
  local best, distance
  for _, u in ipairs(utterances) do
    if u.kind == "heading" and u.text == saved.heading then
      local d = math.abs(u.start_offset - saved.heading_offset)
      if not best or d < distance then
        best, distance = u.start_offset, d
      end
    end
  end
  return best
end

-- The entry for stopping at `offset` in a text whose utterances are `utterances`: the
-- heading is the last one starting at or before it.
function M.entry(path, digest, offset, line, column, utterances)
  local heading, heading_offset = "", 0
  for _, u in ipairs(utterances) do
    if u.start_offset > offset then
      break
    end
    if u.kind == "heading" then
      heading, heading_offset = u.text, u.start_offset
    end
  end
  return {
    path = path,
    digest = digest,
    offset = offset,
    line = line,
    column = column,
    heading = heading,
    heading_offset = heading_offset,
  }
end

-- $XDG_STATE_HOME/mdspeak/positions, ~/.local/state/mdspeak/positions without it; nil when
-- neither variable says where.
function M.path()
  return require("mdspeak.state").xdg_file("XDG_STATE_HOME", ".local/state", "positions")
end

local uv = vim.uv or vim.loop

-- The remembered entries; a missing file is none. Nil and a reason when it cannot be used.
function M.load(path)
  local file, why = io.open(path, "rb")
  if not file then
    if not uv.fs_stat(path) then
      return {}
    end
    return nil, why
  end
  local text = file:read("*a")
  file:close()
  local entries = text and M.parse(text)
  if not entries then
    return nil, path .. " is damaged"
  end
  return entries
end

-- Writes `entries` over `path` through a temporary file renamed over it; nil and a reason when
-- that fails (the old file is then left as it was).
function M.store(path, entries)
  local dir = vim.fn.fnamemodify(path, ":h")
  if vim.fn.isdirectory(dir) == 0 and not pcall(vim.fn.mkdir, dir, "p") then
    return nil, "cannot create " .. dir
  end
  local temporary = ("%s.tmp-%d"):format(path, vim.fn.getpid())
  local text = M.serialise(entries)
  local fd, why = uv.fs_open(temporary, "w", tonumber("644", 8))
  if not fd then
    return nil, "cannot write " .. path .. ": " .. tostring(why)
  end
  local written = uv.fs_write(fd, text, 0) == #text
  written = uv.fs_fsync(fd) and written
  written = uv.fs_close(fd) and written
  local renamed, rename_error = false, nil
  if written then
    renamed, rename_error = uv.fs_rename(temporary, path)
  end
  if not renamed then
    uv.fs_unlink(temporary)
    return nil, "cannot write " .. path .. (rename_error and (": " .. rename_error) or "")
  end
  return true
end

return M
