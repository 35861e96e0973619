-- The text a buffer is read from, and byte offsets into it mapped back to buffer positions.
--
-- The service counts bytes of the text it was sent. Neovim drops the CR of CRLF lines in a
-- 'fileformat=dos' buffer, so the text sent is the buffer's lines joined with "\n" (plus a final
-- "\n"), whatever the file on disk holds: every offset then names exactly one buffer position.
local M = {}

-- Returns the text to send and the byte offset at which every line starts (starts[i] for line
-- i, 1-based; one more entry for the end of the text).
function M.snapshot(lines)
  local starts, offset = {}, 0
  for i, line in ipairs(lines) do
    starts[i] = offset
    offset = offset + #line + 1
  end
  starts[#lines + 1] = offset
  return table.concat(lines, "\n") .. "\n", starts
end

-- The 0-based (row, col) of a byte offset; col is a byte column and may equal the line's length
-- (the position of its line end). Offsets past the text clamp to its end.
function M.position(starts, offset)
  local last = #starts - 1
  if last < 1 then
    return 0, 0
  end
  if offset >= starts[last + 1] then
    return last - 1, starts[last + 1] - starts[last] - 1
  end
  local lo, hi = 1, last
  while lo < hi do
    local mid = math.floor((lo + hi + 1) / 2)
    if starts[mid] <= offset then
      lo = mid
    else
      hi = mid - 1
    end
  end
  return lo - 1, math.max(0, offset - starts[lo])
end

-- The byte offset of a 0-based (row, col); a col past the line's end means its end. A row before
-- the first is the text's start (a window not drawn yet reports its cursor on row -1).
function M.offset(starts, row, col)
  local line = math.max(row + 1, 1)
  if line >= #starts then
    return starts[#starts]
  end
  local length = starts[line + 1] - starts[line] - 1
  return starts[line] + math.min(math.max(col, 0), length)
end

-- Whether a UTF-8 character is part of a word: ASCII letters and digits, and non-ASCII
-- characters outside Latin-1's symbols (U+0080..U+00BF) and the general punctuation block
-- (U+2000..U+207F: dashes, smart quotes, ellipsis).
local function is_letter(char)
  if #char == 1 then
    return char:match("%w") ~= nil
  end
  local lead, second = char:byte(1, 2)
  return lead ~= 0xC2 and not (lead == 0xE2 and (second == 0x80 or second == 0x81))
end

-- The first run of word characters of `word`.
local function letter_run(word)
  local run = {}
  for char in word:gmatch("[%z\1-\127\194-\244][\128-\191]*") do
    if is_letter(char) then
      run[#run + 1] = char
    elseif #run > 0 then
      break
    end
  end
  return #run > 0 and table.concat(run) or nil
end
-- Markdown syntax that ends a word's source when it follows the word.
local kSyntax = "[%s%*_`%[%]%(%)<>|~#]"

-- Where a spoken word lies in the source, for a service whose word events carry only their
-- utterance's range: the (k+1)-th occurrence in the utterance's source of the word's first run
-- of letters, k being how often that run occurs in the utterance text before the word; the range
-- goes on to the next white space or Markdown syntax. Returns 0-based start and end offsets, or
-- nil when the run is not found.
function M.find_word(source, first, last, utterance_text, text_start, word)
  local key = letter_run(word)
  if not key then
    return nil
  end
  local k, at = 0, 1
  while true do
    local found = utterance_text:find(key, at, true)
    if not found or found > text_start then
      break
    end
    k, at = k + 1, found + 1
  end
  local slice = source:sub(first + 1, last)
  local found
  at = 1
  for _ = 0, k do
    found = slice:find(key, at, true)
    if not found then
      return nil
    end
    at = found + 1
  end
  local stop = slice:find(kSyntax, found + #key) or #slice + 1
  return first + found - 1, first + stop - 1
end

return M
