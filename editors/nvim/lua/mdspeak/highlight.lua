-- The highlights of what is spoken: extmarks in the "mdspeak" namespace, one per role.
--
-- A reading keeps its extmark ids in `reading.marks` (role -> id), so each role is one mark
-- moved from place to place; a new reading of the same buffer takes the table over, so its first
-- events move the marks instead of doubling them. Offsets are the service's byte offsets into
-- the text that was sent (`reading.doc.starts` maps them to positions).
local text = require("mdspeak.text")

local M = {}

M.namespace = vim.api.nvim_create_namespace("mdspeak")

function M.clear(buf)
  if buf and vim.api.nvim_buf_is_valid(buf) then
    vim.api.nvim_buf_clear_namespace(buf, M.namespace, 0, -1)
  end
end

-- Marks bytes [first, last) for `role` with `group`; returns the 0-based row and column of the
-- start, or nothing when the buffer is gone. Positions past an edited buffer's end are clamped.
function M.mark(reading, role, first, last, group, priority)
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
  local starts = reading.doc.starts
  local row, col = clamp(text.position(starts, first))
  local end_row, end_col = clamp(text.position(starts, last))
  local ok, id = pcall(vim.api.nvim_buf_set_extmark, buf, M.namespace, row, col, {
    id = reading.marks[role],
    end_row = end_row,
    end_col = end_col,
    hl_group = group,
    priority = priority,
  })
  if ok then
    reading.marks[role] = id
  end
  return row, col
end

function M.unmark(reading, role)
  local id = reading.marks[role]
  if id and vim.api.nvim_buf_is_valid(reading.buf) then
    pcall(vim.api.nvim_buf_del_extmark, reading.buf, M.namespace, id)
  end
  reading.marks[role] = nil
end

return M
