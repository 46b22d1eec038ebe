-- A syntax error and a runtime error in children reach the window manager.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code([[
  while true do
    local m = _read_message()
    while m do printh("wm got " .. m.event .. ": " .. m.content) m = _read_message() end
    flip()
  end]], "wm", "/system/wm.lua")
local bad = _create_process_from_code("x = = 1", "bad", "/bad.lua")
printh("syntax child: " .. tostring(bad))
local fails = _create_process_from_code([[
  local function inner() error("boom in child") end
  inner()]], "fails", "/apps/fails.lua")
printh("failing child id " .. fails)
_run_process_slice(fails, 0.5)
printh("state after failure " .. _process_state(fails))
_run_process_slice(3, 0.5)
_signal(33)
while true do flip() end
