-- One mdspeak-service child process: JSON lines in and out, answers matched to requests by id.
local M = {}

local Service = {}
Service.__index = Service

-- Feeds one chunk of job output (Neovim's list form: the first item continues the pending
-- partial line, every further item starts a new one) and returns the lines it completed.
function M.split_lines(pending, data)
  local lines = {}
  pending = pending .. (data[1] or "")
  for i = 2, #data do
    lines[#lines + 1] = pending
    pending = data[i]
  end
  return pending, lines
end

local function null_to_nil(value)
  if value == vim.NIL then
    return nil
  end
  return value
end
M.null_to_nil = null_to_nil

local decode = vim.json and vim.json.decode or vim.fn.json_decode
local encode = vim.json and vim.json.encode or vim.fn.json_encode

-- `handlers.on_event(message)` receives every message that answers no request;
-- `handlers.on_exit(reason, quiet)` is called once the process ended (`quiet`: nobody needs
-- to be told, as it was asked to end or a waiting request already failed with `reason`).
function M.new(path, handlers)
  return setmetatable({
    path = path,
    handlers = handlers,
    job = nil,
    pending_line = "",
    next_id = 0,
    waiting = {},
    background = {}, -- ids of requests whose failure nobody is told of
    stderr = {},
    closing = false,
  }, Service)
end

function Service:running()
  return self.job ~= nil
end

function Service:start()
  local ok, job = pcall(vim.fn.jobstart, { self.path }, {
    on_stdout = function(_, data)
      self:_receive(data)
    end,
    on_stderr = function(_, data)
      for _, line in ipairs(data) do
        if line ~= "" then
          self.stderr[#self.stderr + 1] = line
          if #self.stderr > 5 then -- only the last words before an exit are told
            table.remove(self.stderr, 1)
          end
        end
      end
    end,
    on_exit = function(_, code)
      self:_exited(code)
    end,
  })
  if not ok or type(job) ~= "number" or job <= 0 then
    return false, "cannot start " .. self.path
  end
  self.job = job
  return true
end

function Service:_receive(data)
  local lines
  self.pending_line, lines = M.split_lines(self.pending_line, data)
  for _, line in ipairs(lines) do
    local ok, message = pcall(decode, line)
    if ok and type(message) == "table" then
      local id = null_to_nil(message.id)
      -- An export's progress carries its request's id but does not answer it.
      local waiter = id and message.type ~= "export_progress" and self.waiting[id]
      if waiter then
        self.waiting[id] = nil
        waiter(message)
      elseif self.handlers.on_event then
        self.handlers.on_event(message)
      end
    end
  end
end

function Service:_exited(code)
  self.job = nil
  local reason = ("the service exited (status %d)"):format(code)
  if #self.stderr > 0 then
    reason = reason .. ": " .. self.stderr[#self.stderr]
  end
  local waiting, background = self.waiting, self.background
  self.waiting, self.background = {}, {}
  local told = false
  for id, waiter in pairs(waiting) do
    told = told or not background[id]
    waiter(nil, reason)
  end
  if self.handlers.on_exit then
    -- `told`: a request already failed with the reason, so nobody needs to hear it twice.
    self.handlers.on_exit(reason, self.closing or told)
  end
end

-- Sends a request (a table without id) and calls `callback(answer)` with its answer, or
-- `callback(nil, reason)` when none came within `timeout_ms` or the process ended. The callback
-- never runs before `request` returns. `options.background`: the callback tells nobody of a
-- failure, so the process's end is told by `on_exit` even while this request waits.
function Service:request(message, callback, timeout_ms, options)
  if not self.job then
    vim.schedule(function()
      callback(nil, "the service is not running")
    end)
    return
  end
  self.next_id = self.next_id + 1
  local id = tostring(self.next_id)
  message.id = id
  local done = false
  self.waiting[id] = function(answer, reason)
    if not done then
      done = true
      self.background[id] = nil
      callback(answer, reason)
    end
  end
  self.background[id] = options and options.background or nil
  local sent = pcall(vim.fn.chansend, self.job, encode(message) .. "\n")
  if not sent then
    self.waiting[id] = nil
    self.background[id] = nil
    done = true
    vim.schedule(function()
      callback(nil, "cannot write to the service")
    end)
    return
  end
  vim.defer_fn(function()
    if not done and self.waiting[id] then
      self.waiting[id] = nil
      self.background[id] = nil
      done = true
      callback(nil, "timeout")
    end
  end, timeout_ms or 10000)
end

-- Sends a request and waits for its answer; for use outside the event loop's callbacks.
function Service:request_sync(message, timeout_ms)
  local result, reason, finished
  self:request(message, function(answer, why)
    result, reason, finished = answer, why, true
  end, timeout_ms)
  vim.wait((timeout_ms or 10000) + 100, function()
    return finished
  end, 10)
  return result, reason
end

-- Ends a process that cannot be trusted to speak or to leave (it did not answer `init`) at once.
function Service:kill()
  if self.job then
    self.closing = true
    pcall(vim.fn.jobstop, self.job)
  end
end

-- Ends the process: silence first, then close its input so it exits on its own; a process
-- that does not go within a short while is killed.
function Service:shutdown()
  if not self.job then
    return
  end
  self.closing = true
  local job = self.job
  self:request_sync({ type = "stop" }, 500)
  pcall(vim.fn.chanclose, job, "stdin")
  if vim.fn.jobwait({ job }, 500)[1] == -1 then
    pcall(vim.fn.jobstop, job)
  end
end

return M
