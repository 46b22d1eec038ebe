-- The process in table slot 1 runs out of memory: it is removed like any
-- other, and the program goes on.
_create_process_from_code([[
  local t = {}
  for i = 1, 1e9 do t[i] = string.rep("x", 4000) .. i end]], "hog", "/system/wm.lua")
local frames = 0
while _process_state(2) ~= -1 and frames < 600 do
  _run_process_slice(2, 0.5)
  frames += 1
  flip()
end
printh("slot 1 state " .. _process_state(2))
_signal(33)
while true do flip() end
