-- Paused prints go on by themselves, one step a frame: the pause command
-- (6 "3") skips three frames, a character delay of 2 shows a glyph every
-- second frame, and a new print or a new draw target drops the rest.
memset(0x5508, 0x3f, 4)
pal()
poke(0x5F56, 0x40)  -- the font at 0x4000; its all-zero header gives 8x8 cells
for c = 65, 72 do memset(0x4000 + 8 * c, 0xff, 8) end  -- A..H: solid blocks
local screen = userdata("u8", 64, 8)
_set_draw_target(screen)

-- The eight cells of the line: "#" where a glyph was drawn.
local function cells()
  local s = ""
  for i = 0, 7 do s ..= pget(i * 8 + 3, 3) ~= 0 and "#" or "." end
  return s
end
local function watch(label, frames)
  printh(label .. " 0 " .. cells())
  for f = 1, frames do
    flip()
    printh(label .. " " .. f .. " " .. cells())
  end
  cls(0)
end

-- Setting the same draw target again keeps the pending text.
_print_q7scii("A\6" .. "3B", 0, 0, 7)
_set_draw_target(screen)
watch("pause", 5)
_print_q7scii("\6d2CDE", 0, 0, 7)
watch("delay", 5)
_print_q7scii("A\6" .. "1B", 0, 0, 7)
_print_q7scii("C", 32, 0, 7)
watch("reprint", 3)
_print_q7scii("A\6" .. "1B", 0, 0, 7)
_set_draw_target(userdata("u8", 64, 8))
_set_draw_target(screen)
watch("retarget", 3)

-- A process that ends with a print pending leaves nothing behind.
local child = _create_process_from_code([[
  poke(0x5F56, 0x40)
  _set_draw_target(userdata("u8", 8, 8))
  _print_q7scii("A\6" .. "9B")]], "child", "/child.lua")
_run_process_slice(child, 0.5)
flip()
printh("child " .. _process_state(child))
_signal(33)
while true do flip() end
