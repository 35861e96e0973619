-- The cursor follows the spoken text until the user moves it.
--
-- A reading holds `win` (the window it was started from), `follow` (false once the user moved
-- the cursor) and `cursor` (where the plugin last put it, or where it was when speech was
-- queued). A cursor found elsewhere than `cursor` was moved by the user: the reading stops
-- following for good, and a restart after pause keeps that choice.
local state = require("mdspeak.state")

local M = {}

-- Moves the cursor to the 0-based `row`, `col` just highlighted (`row` nil: nothing was).
function M.to(reading, row, col)
  if not row or not (state.config.follow and reading.follow) then
    return
  end
  local win = reading.win
  if not vim.api.nvim_win_is_valid(win) or vim.api.nvim_win_get_buf(win) ~= reading.buf then
    return
  end
  local cursor = vim.api.nvim_win_get_cursor(win)
  if reading.cursor and (cursor[1] ~= reading.cursor[1] or cursor[2] ~= reading.cursor[2]) then
    reading.follow = false -- the user went elsewhere; stay out of the way
    return
  end
  if pcall(vim.api.nvim_win_set_cursor, win, { row + 1, col }) then
    reading.cursor = vim.api.nvim_win_get_cursor(win)
  end
end

-- Takes the cursor's place as the plugin's own, once speech is queued.
function M.settle(reading)
  if vim.api.nvim_win_is_valid(reading.win) then
    reading.cursor = vim.api.nvim_win_get_cursor(reading.win)
  end
end

return M
