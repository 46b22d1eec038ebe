-- Processes stuck in code that cannot yield end with an error; the root goes
-- on scheduling. Process 3 prints the reports that name the overrun.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code([[
  while true do
    local m = _read_message()
    while m do
      if m.content:find("cannot yield", 1, true) then printh("wm got " .. m.content) end
      m = _read_message()
    end
    flip()
  end]], "wm", "/system/wm.lua")
local cases = {
  "string.gsub('x', 'x', function() while true do end end)",
  "string.find(('a'):rep(40), ('a*'):rep(40) .. 'b')",
  "tostring(setmetatable({}, {__tostring = function() while true do end end}))",
  "assert(load(function() while true do end end))",
}
for i, code in ipairs(cases) do
  local id = _create_process_from_code(code, "c" .. i, "/c" .. i .. ".lua")
  local frames = 0
  while _process_state(id) ~= -1 and frames < 100 do
    _run_process_slice(id, 0.5)
    frames += 1
    flip()
  end
  printh("case " .. i .. " removed " .. tostring(_process_state(id) == -1))
  _run_process_slice(3, 0.1)
end
-- A stuck finaliser only ends its collection: the process goes on.
local gc = _create_process_from_code([[
  setmetatable({}, {__gc = function() while true do end end})
  collectgarbage()
  printh("gc: after the collection")
  while true do flip() end]], "gc", "/gc.lua")
for f = 1, 40 do
  _run_process_slice(gc, 0.5)
  flip()
end
printh("gc state " .. _process_state(gc))
_run_process_slice(3, 0.1)
_signal(33)
while true do flip() end
