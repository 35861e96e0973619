-- :checkhealth mdspeak
local M = {}

-- Neovim 0.10 renamed the report functions and later dropped the old names.
local function reporter()
  local health = vim.health
  local renamed = health and health.start ~= nil
  if not renamed then
    health = require("health")
  end
  local report = {}
  for _, name in ipairs({ "start", "ok", "info", "warn", "error" }) do
    report[name] = renamed and health[name] or health["report_" .. name]
  end
  return report
end

-- The user's pronunciation list: how many entries it gives, which lines are left out.
local function pronunciations(report)
  local list = require("mdspeak.pronunciations")
  local path = list.path(require("mdspeak.state").config.pronunciations)
  local source = path and list.read(path)
  if not source then
    report.info("no pronunciation list at " .. tostring(path))
    return
  end
  local entries, problems = list.parse(source)
  report.ok(("pronunciation list: %d entries from %s"):format(#entries, path))
  for _, p in ipairs(problems) do
    report.warn(list.describe(path, p))
  end
end

function M.check()
  local report = reporter()
  local mdspeak = require("mdspeak")
  local service_mod = require("mdspeak.service")
  report.start("mdspeak")

  pronunciations(report)
  local path, why = mdspeak.service_path()
  if not path then
    report.error(why, {
      "Build it (scripts/run or cmake), put it on PATH,",
      "or call require('mdspeak').setup{ service = '/path/to/mdspeak-service' }",
    })
    return
  end
  local version = vim.fn.system({ path, "--version" })
  if vim.v.shell_error == 0 and version:match("^mdspeak%-service ") then
    report.ok("service found: " .. path .. " (" .. vim.trim(version) .. ")")
  else
    report.ok("service found: " .. path)
  end

  -- A process of its own, so that a reading in progress is left alone.
  local service = service_mod.new(path, {})
  local started, reason = service:start()
  if not started then
    report.error(reason)
    return
  end
  local init, failure = service:request_sync({ type = "init" }, 5000)
  if not init or init.type ~= "init_result" then
    report.error("the service did not answer init: " .. tostring(failure))
    service:kill()
    return
  end
  report.info("service backend: " .. tostring(init.backend))
  if init.available then
    report.ok("speech synthesizer available")
  else
    local message = tostring(service_mod.null_to_nil(init.message))
    report.error("speech synthesizer unavailable: " .. message, {
      "Start speech-dispatcher (with a voice: speech-dispatcher-espeak-ng) and a sound server.",
    })
    service:shutdown()
    return
  end

  local listed = service:request_sync({ type = "list_voices" }, 5000)
  service:shutdown()
  if not listed or listed.type ~= "list_voices_result" then
    report.error("the service could not list voices: " .. tostring(listed and listed.message))
    return
  end
  local counts = { en = {}, es = {} }
  for _, voice in ipairs(listed.voices) do
    local language = (service_mod.null_to_nil(voice.locale) or ""):sub(1, 2):lower()
    if counts[language] then
      table.insert(counts[language], voice.name)
    end
  end
  for _, entry in ipairs({ { "en", "English" }, { "es", "Spanish" } }) do
    local names = counts[entry[1]]
    if #names > 0 then
      report.ok(("%s: %d voices (first: %s)"):format(entry[2], #names, names[1]))
    else
      report.warn(("%s: no voices; %s documents are read with another language's voice"):format(
        entry[2],
        entry[2]
      ))
    end
  end
end

return M
