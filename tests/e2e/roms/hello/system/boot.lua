-- Greets, counts three frames, then asks the workstation to exit.
printh("hello from boot")
for frame = 1, 3 do
  printh("frame " .. frame)
  flip()
end
_signal(33)
while true do flip() end
