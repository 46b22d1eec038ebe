-- A process that restarts itself keeps its parent: the root hears of its end.
local child = _create_process_from_code([[
  printh("child: start")
  _kill_process(pid(), 1)
  while true do flip() end]], "child", "/child.lua")
for i = 1, 3 do _run_process_slice(child, 0.1) end
_kill_process(child)
local m = _read_message()
while m do
  printh("root got " .. m.event .. " " .. m.proc_id .. " " .. tostring(m.proc_id == child))
  m = _read_message()
end
printh("done")
_signal(33)
while true do flip() end
