-- A child asks for the root's removal: the program ends as for a kernel error.
local c = _create_process_from_code("_kill_process(1) printh('child asked') while true do flip() end", "c", "/c.lua")
_run_process_slice(c, 1)
printh("root slice goes on")
flip()
printh("never")
