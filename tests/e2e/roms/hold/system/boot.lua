-- Holds the system and asks to exit: 60 more frames, then 120 shutdown slices.
_signal(40)
_signal(33)
local n = 0
while true do
  printh("slice " .. n)
  n += 1
  flip()
end
