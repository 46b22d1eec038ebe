-- A user process plays a note, a track and music; it prints what the sound
-- functions return and, where stat exists, what stat reports of the channel.
local function spawn(code, name)
  return _create_process_from_code(code, name, "/system/" .. name .. ".lua")
end
spawn("while true do flip() end", "two")
spawn("while true do flip() end", "three")

local player = spawn([[
  printh("player " .. pid())
  printh("types " .. type(note) .. " " .. type(sfx) .. " " .. type(music))
  printh("results " .. select('#', note(60, 0, 40, 0, 0, 2)) .. " " ..
         select('#', sfx(-4, 5, 10)) .. " " .. select('#', music(-5)))
  printh("loose " .. tostring(pcall(note, {}, "x", true, nil, print)) .. " " ..
         tostring(pcall(sfx, "a", {})) .. " " .. tostring(pcall(music, nil, "b", {})))
  -- The loose calls above started a track and music: stop everything, then
  -- play the one note stat is asked about.
  note()
  note(60, 0, 40, 0, 0, 2)
  if stat then
    printh("owner " .. tostring(stat(499) == pid()))
    printh("sounding " .. tostring(stat(498) & 4 == 4))
    printh("note on " .. tostring(stat(402, 0) == 1))
    printh("pitch " .. tostring(stat(402, 4) == 60))
    printh("volume " .. tostring(stat(402, 2) == 40))
    printh("idle channel " .. tostring(stat(403, 1) == -1))
    printh("no music " .. tostring(stat(466) == -1))
  end
  while true do flip() end
]], "player")

_run_process_slice(player, 1)
if stat then
  printh("root is not the owner " .. tostring(stat(402, 4) == -1))
  printh("owner seen by root " .. tostring(stat(499) == player))
end
flip()
_signal(33)
while true do flip() end
