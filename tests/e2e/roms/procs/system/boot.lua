-- Processes created, run in nested slices, halted, killed and restarted, and
-- messages between them. Process 3 prints what it receives.
local wm_code = [[
local function dump(t)
  local keys = {}
  for k in pairs(t) do if k ~= "_sent_t" then keys[#keys + 1] = k end end
  for i = 2, #keys do  -- insertion sort (the library set has no table.sort)
    local k, j = keys[i], i - 1
    while j > 0 and keys[j] > k do keys[j + 1] = keys[j] j -= 1 end
    keys[j + 1] = k
  end
  local out = {}
  for _, k in ipairs(keys) do out[#out + 1] = k .. "=" .. tostring(t[k]) end
  return "{" .. table.concat(out, ",") .. "}"
end
while true do
  local m = _read_message()
  while m do
    printh("wm got " .. dump(m) .. (m._sent_t and " stamped" or ""))
    printh("wm pod " .. pod(m))
    m = _read_message()
  end
  flip()
end
]]

local function spawn(code, name)
  return _create_process_from_code(code, name, "/system/" .. name .. ".lua")
end

spawn("while true do flip() end", "two")
spawn(wm_code, "wm")

-- 4: runs 5 inside its own slice and messages the window manager.
local a = spawn([[
  printh("a: nested " .. tostring(_run_process_slice(5, 0.1)))
  printh("a: self " .. tostring(_run_process_slice(pid(), 1)))
  printh("a: root " .. tostring(_run_process_slice(1, 1)))
  send_message(3, {a = 1, _from = 99, _flags = 7})
  send_message("3", {b = "two"}, {extra = true})
  send_message(3.9, {c = 3})
  send_message(77, {lost = true})
  while true do flip() end
]], "a")
local b = spawn([[
  printh("b: running as " .. pid() .. " inside " .. tostring(_process_state(4)))
  while true do flip() end
]], "b")
local h = spawn([[ printh("h: halting") _halt() printh("h: never") ]], "h")
local r = spawn([[ printh("r: start") while true do flip() end ]], "r")
local e = spawn([[ printh("e: ends") ]], "e")
printh("ids " .. a .. " " .. b .. " " .. h .. " " .. r .. " " .. e)

local function run(id, f)
  local done, cpu, msg = _run_process_slice(id, f)
  return tostring(done) .. " " .. tostring(cpu ~= nil and cpu >= 0) .. " " .. tostring(msg)
end

printh("run a: " .. run(a, 0.2))
flip()
printh("run h: " .. run(h, 0.1))
printh("state h: " .. _process_state(h))
printh("run h again: " .. run(h, 0.1))
printh("run e: " .. run(e, 0.1))
printh("state e: " .. _process_state(e))
printh("run r: " .. run(r, 0.1))
_kill_process(r, 1)
printh("state r after restart: " .. _process_state(r))
printh("run r: " .. run(r, 0.1))
_kill_process(r, 2)
printh("state r after mode 2: " .. _process_state(r))
_kill_process(h)
printh("state h after kill: " .. _process_state(h))
printh("run h after kill: " .. run(h, 0.1))
printh("run none: " .. select("#", _run_process_slice(a, 0)))
for _, p in ipairs(_get_process_list()) do
  printh("list " .. p.id .. " " .. p.name .. " " .. p.prog .. " " .. p.pwd .. " " .. p.priority)
end
local m = _read_message()
while m do
  printh("root got " .. m.event .. " " .. m.proc_id .. " from " .. m._from)
  m = _read_message()
end
flip()
_run_process_slice(3, 0.2)
_signal(33)
while true do flip() end
