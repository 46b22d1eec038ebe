-- Memory is refused when it is taken: one huge request removes the process
-- as out of memory, and a message queue never passes its byte cap.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code([[
  while true do
    local m = _read_message()
    while m do printh("wm got " .. m.content .. " from " .. m._from) m = _read_message() end
    flip()
  end]], "wm", "/system/wm.lua")
local function run_out(id)
  local frames = 0
  while _process_state(id) ~= -1 and frames < 3000 do
    _run_process_slice(id, 0.5)
    frames += 1
    flip()
  end
  return _process_state(id)
end
local hog = _create_process_from_code([[
  local s = string.rep("x", 1900 * 2^20)
  printh("hog: got " .. #s)]], "hog", "/hog.lua")
printh("hog state " .. run_out(hog))
_run_process_slice(3, 0.1)

local idle = _create_process_from_code([[
  local n = 0
  while true do
    local m = _read_message()
    while m do n += 1 m = _read_message() end
    if n > 0 then printh("receiver got " .. n) n = 0 end
    flip()
  end]], "idle", "/idle.lua")
local sender = _create_process_from_code([[
  local big = string.rep("y", 2^20)
  for i = 1, 64 do send_message(]] .. idle .. [[, {b = big}) end]], "sender", "/sender.lua")
printh("sender state " .. run_out(sender))
-- Reading and decoding 15 MiB is charged about 5.9 M cycles: 42 half frames.
for f = 1, 90 do
  _run_process_slice(idle, 0.5)
  flip()
end
_signal(33)
while true do flip() end
