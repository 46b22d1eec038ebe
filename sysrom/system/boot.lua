-- Sample system ROM: greets on the host's standard output, counts a few
-- frames, then asks the workstation to exit.
printh("Kavelund sample system ROM: boot.lua is running")
for frame = 1, 3 do
  printh("frame " .. frame)
  flip()
end
printh("sample boot finished; requesting exit")
_signal(33)
while true do flip() end
