-- 100 idle processes, each given a slice in every one of 120 frames between
-- two marks on standard output, then exit. The processes are made and run
-- for 10 frames before the first mark: their creation, and what the idle ROM
-- leaves out, stay out of the count.
local ids = {}
for i = 1, 100 do
  ids[i] = _create_process_from_code("while true do flip() end", "idle" .. i, "/idle.lua")
end
local function frame()
  for i = 1, 100 do _run_process_slice(ids[i], 0.01) end
  flip()
end
for n = 1, 10 do frame() end
printh("from")
for n = 1, 120 do frame() end
printh("to")
_signal(33)
while true do flip() end
