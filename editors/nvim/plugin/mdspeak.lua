-- Commands, highlight groups and autocommands of mdspeak; the work is in lua/mdspeak/.
if vim.g.loaded_mdspeak then
  return
end
vim.g.loaded_mdspeak = true

local function highlights()
  vim.cmd("highlight default link MdspeakUtterance Visual")
  vim.cmd("highlight default link MdspeakWord IncSearch")
end
highlights()

local function mdspeak()
  return require("mdspeak")
end

local commands = {
  MdspeakRead = {
    function(opts)
      mdspeak().read(opts)
    end,
    {
      range = true,
      bang = true,
      desc = "Read aloud from where the file's last reading stopped (!: from the cursor),"
        .. " or the given lines",
    },
  },
  MdspeakSummary = { function() mdspeak().summary() end, { desc = "Speak the buffer's summary" } },
  MdspeakPause = { function() mdspeak().pause() end, { desc = "Pause reading" } },
  MdspeakResume = { function() mdspeak().resume() end, { desc = "Resume reading" } },
  MdspeakToggle = {
    function() mdspeak().toggle() end,
    { desc = "Pause, resume or start reading" },
  },
  MdspeakNext = { function() mdspeak().next() end, { desc = "Read from the next utterance" } },
  MdspeakPrev = { function() mdspeak().prev() end, { desc = "Read from the previous utterance" } },
  MdspeakStop = { function() mdspeak().stop() end, { desc = "Stop reading" } },
  MdspeakExport = {
    function(opts)
      mdspeak().export(opts)
    end,
    { nargs = 1, range = true, complete = "file", desc = "Write the buffer to an audio file" },
  },
  MdspeakVoice = {
    function(opts)
      if opts.args ~= "" then
        mdspeak().set_voice(opts.args)
      else
        mdspeak().choose_voice()
      end
    end,
    { nargs = "?", desc = "Choose the voice" },
  },
  MdspeakRate = {
    function(opts)
      mdspeak().set_rate(opts.args)
    end,
    { nargs = 1, desc = "Set the speaking rate (1.0 is normal)" },
  },
}
for name, command in pairs(commands) do
  vim.api.nvim_create_user_command(name, command[1], command[2])
end

for name, rhs in pairs({
  ["<Plug>(MdspeakRead)"] = "<Cmd>MdspeakRead<CR>",
  ["<Plug>(MdspeakStop)"] = "<Cmd>MdspeakStop<CR>",
  ["<Plug>(MdspeakToggle)"] = "<Cmd>MdspeakToggle<CR>",
  ["<Plug>(MdspeakNext)"] = "<Cmd>MdspeakNext<CR>",
  ["<Plug>(MdspeakPrev)"] = "<Cmd>MdspeakPrev<CR>",
  ["<Plug>(MdspeakSummary)"] = "<Cmd>MdspeakSummary<CR>",
}) do
  vim.keymap.set("n", name, rhs, { silent = true })
end

local group = vim.api.nvim_create_augroup("mdspeak", { clear = true })
vim.api.nvim_create_autocmd("ColorScheme", { group = group, callback = highlights })
vim.api.nvim_create_autocmd({ "BufUnload", "BufWipeout" }, {
  group = group,
  callback = function(args)
    if package.loaded["mdspeak"] then
      mdspeak().buffer_unloaded(args.buf)
    end
  end,
})
vim.api.nvim_create_autocmd("VimLeavePre", {
  group = group,
  callback = function()
    if package.loaded["mdspeak"] then
      mdspeak().shutdown()
    end
  end,
})
