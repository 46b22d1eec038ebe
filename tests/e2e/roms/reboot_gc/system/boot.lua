-- A reboot closes a process whose finaliser never returns: the finaliser
-- ends with an error and the reboot goes on, every frame, until the host
-- says stop.
printh("boot")
local id = _create_process_from_code([[
  keep = setmetatable({}, {__gc = function() while true do end end})
  while true do flip() end]], "gcstuck", "/gcstuck.lua")
_run_process_slice(id, 0.5)
flip()
_kill_process(pid(), 1)
while true do flip() end
