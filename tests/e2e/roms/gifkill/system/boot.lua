-- Records a GIF of a window manager whose screen changes every frame, and
-- goes on until the program is killed. The window manager (process 3) sets
-- the region (64x32 at the corner), mounts the desktop and starts the
-- recording from its own memory.
_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua")
local wm = _create_process_from_code([[
  poke2(64, 0, 0, 64, 32, 1, 0, 0, 1)
  poke(96, string.byte("rec", 1, 3))
  poke(99, 0)
  _signal(65)
  _signal(18)
  printh("recording")
  local n = 0
  while true do
    for y = 0, 31 do memset(0x10000 + y * 480, (n + y) % 64, 64) end
    n += 1
    flip()
  end]], "wm", "/system/wm.lua")
while true do
  _run_process_slice(wm, 0.9)
  flip()
end
