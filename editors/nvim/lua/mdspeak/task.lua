-- Commands as coroutines that wait for the service's answers without blocking Neovim.
--
-- `run(fn)` starts one; inside it `call` sends a request and yields until its answer (or a
-- timeout, or the process's end) resumes it. A failure anywhere in a command is `fail(message)`:
-- it ends the coroutine and becomes a single ERROR notification, never a traceback.
local state = require("mdspeak.state")

local M = {}

local Failure = {}

-- Ends the running command with `message` told to the user.
function M.fail(message)
  error(setmetatable({ message = message }, Failure), 0)
end

-- Ends a command whose failure another command already reported.
function M.fail_quietly()
  error(setmetatable({}, Failure), 0)
end

-- coroutine -> the function that resumes it.
local steps = {}

function M.run(fn, ...)
  local co = coroutine.create(fn)
  local function step(...)
    local ok, err = coroutine.resume(co, ...)
    if coroutine.status(co) == "dead" then
      steps[co] = nil
    end
    if not ok and not (getmetatable(err) == Failure and err.message == nil) then
      local message = getmetatable(err) == Failure and err.message
        or ("internal error: " .. tostring(err))
      state.notify(message, vim.log.levels.ERROR)
    end
  end
  steps[co] = step
  step(...)
end

-- The function that resumes the running command, for whoever will have its answer.
function M.current_step()
  return steps[coroutine.running()]
end

-- Sends a request from inside a command and returns its answer, or nil and a reason.
function M.call(message, timeout_ms)
  if not state.service then
    return nil, "the service is not running" -- it died while this command waited
  end
  state.service:request(message, M.current_step(), timeout_ms or state.config.answer_timeout_ms)
  return coroutine.yield()
end

-- What went wrong with an answer, or nil when it is the one expected.
function M.answer_error(message, answer, reason, answer_type)
  if not answer then
    if reason == "timeout" then
      return ("the service did not answer %s"):format(message.type)
    end
    return reason
  end
  if answer.type == "error_result" then
    return answer.message
  end
  if answer.type ~= answer_type then
    return ("unexpected answer %s to %s"):format(tostring(answer.type), message.type)
  end
end

-- `call`, failing the command unless the answer is of `answer_type`.
function M.expect(message, answer_type)
  local answer, reason = M.call(message)
  local problem = M.answer_error(message, answer, reason, answer_type)
  if problem then
    M.fail(problem)
  end
  return answer
end

return M
