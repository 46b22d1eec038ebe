-- 120 frames alone, then 120 frames in which 100 idle processes each get a
-- slice, each frame marked by a line on standard output ("idle", then
-- "crowd"); then exit. The processes are made and run for 10 frames between
-- the two blocks: their creation stays out of both.
for n = 1, 10 do flip() end
for n = 1, 120 do
  printh("idle")
  flip()
end
local ids = {}
for i = 1, 100 do
  ids[i] = _create_process_from_code("while true do flip() end", "idle" .. i, "/idle.lua")
end
local function frame()
  for i = 1, 100 do _run_process_slice(ids[i], 0.01) end
  flip()
end
for n = 1, 10 do frame() end
for n = 1, 120 do
  printh("crowd")
  frame()
end
_signal(33)
while true do flip() end
