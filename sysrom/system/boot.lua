-- Sample system ROM: a small userland that shows what the machine does.
-- The boot script opens the window (windowed, twice enlarged), starts the
-- desk as process 3 (the process that receives host input) and then runs the
-- scheduler: one slice of the desk a frame.
printh("Kavelund sample system ROM: boot.lua is running")
_apply_system_settings({fullscreen = false, pixel_perfect = true, pixel_scale = 2})

local desk_code = [[
-- The desk: a test screen of shapes, text, a sprite and the mouse pointer.
-- Keys play a note and show their scancode; buttons colour the pointer.
local mx, my, mb, key, notes = 240, 135, 0, "-", 0
-- The font: the ROM's own (4x6 cells) copied to 0x4000, where the default
-- font byte (0x5F56) then points.
local font = fetch("/system/fonts/lil.font", 2)
if font then
  for i = 1, #font, 256 do poke(0x4000 + i - 1, string.byte(font, i, i + 255)) end
  poke(0x5F56, 0x40)
end
-- The instrument: instruments from 0x30000 (0x553C), so instrument 0 is at
-- 0x40000; notes at full mix volume (0x553A) and every channel at unity
-- (0x5538; a new process has 0 there, silence). Node 0 is a container whose
-- volume is the note's times envelope 0; node 1 a sine oscillator (row 0 of
-- the default wavetable in slot 0) at the note's pitch. Envelope 0 strikes
-- at full level and fades out over 176 ticks (about 1.5 s).
poke(0x553C, 3)
poke(0x553A, 64)
poke(0x5538, 64)
local inst = 0x40000
memset(inst, 0, 0x1E0)  -- the wavetable slots at 0x1E0 stay
poke(inst, 0x00, 0x01, 0, 0, 0x06, 64, 0, 0)
for k = 1, 5 do poke(inst + 4 + 4 * k, 0x01, 0, 0, 0) end
poke(inst + 32, 0x00, 0x02, 0, 0, 0x02, 64, 0, 0)
for k = 1, 3 do poke(inst + 36 + 4 * k, 0x01, 0, 0, 0) end
poke(inst + 0x100 + 9, 64)  -- envelope 0 (ADSR): decay 176 ticks to sustain 0
-- Sixteen colours of our own (0x5000: 0xRRGGBB words), repeated over the
-- 64 entries, and the display palette showing each index as itself.
local colours = {0x000000, 0x24283b, 0x4a5068, 0x7c8298, 0xb0b6c8, 0xe8ecf4, 0xffffff,
  0xf4e4c0, 0xd83a3a, 0xf08a24, 0xf2d53c, 0x4cc25a, 0x2f8fd8, 0x7a4fd0, 0xe060b0, 0x3cc8c8}
for i = 0, 63 do
  poke4(0x5000 + i * 4, colours[i % 16 + 1])
  poke(0x5480 + i, i)
end
-- Drawing reads, writes and targets all six colour bits, through the
-- default colour tables.
memset(0x5508, 0x3f, 4)
pal()
-- The screen: a bitmap that drawing goes to, seen as the video memory.
local screen = userdata("u8", 480, 270)
_map_ram(screen, 0x10000)
_set_draw_target(screen)
local sprite = userdata("u8", 8, 8,
  "0008080808080800" .. "08090909090909" .. "08" .. "080a0a0a0a0a0908" ..
  "080a0b0b0b0a0908" .. "080a0b0b0b0a0908" .. "080a0a0a0a0a0908" ..
  "0809090909090908" .. "0008080808080800")
local function print(s, x, y, c) _print_q7scii(s, x, y, c) end

while true do
  local m = _read_message()
  while m do
    if m.event == "mouse" then
      mx, my, mb = m.mx, m.my, m.mb
    elseif m.event == "keydown" then
      key = m.scancode
      notes += 1
      note(48 + m.scancode % 24, 0, 64)  -- two octaves from middle C
    end
    m = _read_message()
  end
  cls(1)
  rectfill(16, 16, 160, 96, 8)
  circfill(240, 140, 48, 12)
  line(0, 269, 479, 180, 10)
  print("kavelund sample userland", 176, 24, 7)
  print("last key: " .. tostring(key) .. "  notes: " .. notes, 176, 36, 7)
  print("mouse: " .. mx .. "," .. my .. "  buttons: " .. mb, 176, 48, 7)
  for i = 0, 5 do spr(sprite, 320 + i * 12, 200) end
  local c = mb > 0 and 9 or 7
  line(mx, my, mx + 7, my + 7, c)
  line(mx, my, mx, my + 9, c)
  line(mx, my, mx + 5, my, c)
  flip()
end
]]

_create_process_from_code("while true do flip() end", "idle", "/system/idle.lua")
local desk = _create_process_from_code(desk_code, "desk", "/system/desk.lua")
_signal(37)  -- userland has booted: show the desk instead of the boot screen
while true do
  _run_process_slice(desk, 0.9)
  flip()
end
