-- The user's pronunciation list: words the synthesizer mangles and what to say instead.
--
-- One entry a line, "text<TAB>say"; "[en]" or "[es]" on a line of its own makes the entries
-- after it apply to that language only (before any: to both); blank lines and lines starting
-- with "#" are skipped. A line that is none of these is reported with its number and left out,
-- so that one slip does not cost the whole list (the service refuses a list with a bad entry).
-- Pure parsing apart from `path` and `read`.
local M = {}

M.kMaxTextBytes = 200
M.kMaxEntries = 10000

-- Whether `s` is UTF-8 the service takes: no stray bytes, overlong forms or surrogates.
local function valid_utf8(s)
  local i, n = 1, #s
  while i <= n do
    local c = s:byte(i)
    local length = c < 0x80 and 1
      or (c >= 0xC2 and c <= 0xDF) and 2
      or (c >= 0xE0 and c <= 0xEF) and 3
      or (c >= 0xF0 and c <= 0xF4) and 4
    if not length or i + length - 1 > n then
      return false
    end
    local second = s:byte(i + 1)
    if (c == 0xE0 and second < 0xA0) or (c == 0xED and second > 0x9F)
      or (c == 0xF0 and second < 0x90) or (c == 0xF4 and second > 0x8F) then
      return false
    end
    for k = i + 1, i + length - 1 do
      local b = s:byte(k)
      if b < 0x80 or b > 0xBF then
        return false
      end
    end
    i = i + length
  end
  return true
end

-- The entries of a list's text ({ text, say, language = "en" | "es" | nil }) and its problems
-- ({ line = number, message = text }), both in file order.
function M.parse(source)
  local entries, problems = {}, {}
  local language
  -- What is wrong with a line, if anything, and whether to read no further.
  local function take(line)
    local trimmed = vim.trim(line)
    if trimmed == "" or trimmed:sub(1, 1) == "#" then
      return nil
    elseif not valid_utf8(line) then
      return "not UTF-8 text"
    elseif not line:find("\t", 1, true) and trimmed:match("^%[.*%]$") then
      local section = trimmed:sub(2, -2):lower()
      if section ~= "en" and section ~= "es" then
        return ("unknown section %s (only [en] and [es])"):format(trimmed)
      end
      language = section
      return nil
    end
    local text, say = line:match("^(.-)\t(.*)$")
    if not text then
      return "no tab between the text and what to say"
    end
    text, say = vim.trim(text), vim.trim(say)
    if text == "" then
      return "no text before the tab"
    elseif say == "" then
      return "nothing to say after the tab"
    elseif #text > M.kMaxTextBytes then
      return ("the text is longer than %d bytes"):format(M.kMaxTextBytes)
    elseif #entries == M.kMaxEntries then
      return ("more than %d entries; the rest are left out"):format(M.kMaxEntries), true
    end
    entries[#entries + 1] = { text = text, say = say, language = language }
  end
  local number = 0
  for line in (source .. "\n"):gmatch("(.-)\n") do
    number = number + 1
    local message, last = take((line:gsub("\r$", "")))
    if message then
      problems[#problems + 1] = { line = number, message = message }
    end
    if last then
      break
    end
  end
  return entries, problems
end

-- Where the list is: `configured` (the `pronunciations` option) when given, else
-- $XDG_CONFIG_HOME/mdspeak/pronunciations, else ~/.config/mdspeak/pronunciations.
function M.path(configured)
  if configured and configured ~= "" then
    return vim.fn.fnamemodify(vim.fn.expand(configured), ":p")
  end
  return require("mdspeak.state").xdg_file("XDG_CONFIG_HOME", ".config", "pronunciations")
end

-- The file's text, or nil and why it cannot be read.
function M.read(path)
  local file, why = io.open(path, "rb")
  if not file then
    return nil, why
  end
  local source = file:read("*a")
  file:close()
  if not source then
    return nil, "cannot read " .. path
  end
  return source
end

-- How a problem of the list at `path` is told.
function M.describe(path, problem)
  return ("%s:%d: %s; line skipped"):format(path, problem.line, problem.message)
end

-- The request that hands `entries` to the service.
function M.request(entries)
  local wire = {}
  for i, e in ipairs(entries) do
    wire[i] = { text = e.text, say = e.say, language = e.language or vim.NIL }
  end
  return { type = "set_pronunciations", entries = wire }
end

return M
