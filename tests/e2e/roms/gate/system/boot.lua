-- Processes of id 4 and up wait for 2200 ms of boot clock unless headless.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code("while true do flip() end", "wm", "/system/wm.lua")
local child = _create_process_from_code("printh('child ran') while true do flip() end", "c", "/c.lua")
local frame = 0
while true do
  local done, cpu = _run_process_slice(child, 0.5)
  if cpu > 0 then
    printh("child ran at frame " .. frame)
    _signal(33)
  end
  frame += 1
  flip()
end
