-- A flood of the window manager: one process sends to process 3 as fast as
-- its share lets it, first alone until the queue is full, then beside process
-- 3 reading all it can. The frames of a third process, counted over three
-- seconds of the flood, must keep their pace.
local counter = _create_process_from_code("while true do flip() end", "counter", "/system/counter.lua")
local wm = _create_process_from_code([[
  while true do
    local m = _read_message()
    while m do m = _read_message() end
    flip()
  end]], "wm", "/system/wm.lua")
local flooder = _create_process_from_code([[
  while true do send_message(3, {event = "x"}) end]], "flooder", "/flooder.lua")
-- The host's clock in milliseconds, from the stamp of a message to itself.
local function now()
  send_message(1, {})
  local m = _read_message()
  while m and m._from ~= 1 do m = _read_message() end
  return m._sent_t
end
for f = 1, 180 do
  _run_process_slice(flooder, 1.0)
  flip()
end
local start, frames = now(), 0
while now() - start < 3000 do
  _run_process_slice(counter, 0.1)
  _run_process_slice(flooder, 0.45)
  _run_process_slice(wm, 0.45)
  frames += 1
  flip()
end
printh("frames " .. frames)
_signal(33)
while true do flip() end
