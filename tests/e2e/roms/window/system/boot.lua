-- A window of 960x540 (windowed, twice enlarged) whose process 3 paints a
-- known picture with poke and memset only, and prints every host event it
-- receives on standard output.
_apply_system_settings({fullscreen = false, pixel_perfect = true, pixel_scale = 2})
local wm_code = [[
-- Palette: colour i is (i * 16, 255 - i * 16, i * 5) for i in 0..15; the
-- display palette maps each index to itself.
for i = 0, 15 do
  poke4(0x5000 + 4 * i, (i * 16) << 16 | (255 - i * 16) << 8 | (i * 5))
  poke(0x5480 + i, i)
end
-- Row y of the picture is colour (y // 18) % 16, with a block of colour 3
-- at x 100..179, y 40..99.
for y = 0, 269 do
  memset(0x10000 + y * 480, (y // 18) % 16, 480)
  if y >= 40 and y < 100 then memset(0x10000 + y * 480 + 100, 3, 80) end
end
printh("painted")
while true do
  local m = _read_message()
  while m do
    if m.event then
      local parts = {}
      for _, k in ipairs({"scancode", "text", "mx", "my", "mb", "wheel_x", "wheel_y"}) do
        if m[k] ~= nil then parts[#parts + 1] = k .. "=" .. tostring(m[k]) end
      end
      printh("event " .. m.event .. " " .. table.concat(parts, ","))
    end
    m = _read_message()
  end
  flip()
end
]]
_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua")
local wm = _create_process_from_code(wm_code, "wm", "/system/wm.lua")
_signal(37)
while true do
  _run_process_slice(wm, 0.9)
  flip()
end
