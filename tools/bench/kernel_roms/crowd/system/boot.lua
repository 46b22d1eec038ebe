-- 100 idle processes, each given a slice in every one of 120 frames, then exit.
local ids = {}
for i = 1, 100 do
  ids[i] = _create_process_from_code("while true do flip() end", "idle" .. i, "/idle.lua")
end
for frame = 1, 120 do
  for i = 1, 100 do _run_process_slice(ids[i], 0.01) end
  flip()
end
_signal(33)
while true do flip() end
