-- A process that outgrows its memory is stopped with a message; the system lives on.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code([[
  while true do
    local m = _read_message()
    while m do printh("wm got " .. m.event .. ": " .. m.content .. " from " .. m._from) m = _read_message() end
    flip()
  end]], "wm", "/system/wm.lua")
local hog = _create_process_from_code([[
  local t = {}
  for i = 1, 1e9 do t[i] = string.rep("x", 4000) .. i end]], "hog", "/hog.lua")
local frames = 0
while _process_state(hog) ~= -1 and frames < 600 do
  _run_process_slice(hog, 0.5)
  frames += 1
  flip()
end
printh("hog state " .. _process_state(hog))
_run_process_slice(3, 0.5)
printh("alive after oom")
_signal(33)
while true do flip() end
