-- Holds the system, asks to exit, and lets go of the hold in its tenth frame.
_signal(40)
_signal(33)
local n = 0
while true do
  printh("slice " .. n)
  if n == 10 then _signal(41) end
  n += 1
  flip()
end
