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

-- The byte offset of a 0-based (row, col); a col past the line's end means its end.
function M.offset(starts, row, col)
  local line = row + 1
  if line >= #starts then
    return starts[#starts]
  end
  local length = starts[line + 1] - starts[line] - 1
  return starts[line] + math.min(math.max(col, 0), length)
end

return M
