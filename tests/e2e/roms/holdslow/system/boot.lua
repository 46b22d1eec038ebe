-- Holds the system without ever asking to exit; each slice uses few cycles
-- but much time, in full collections of a large heap.
_signal(40)
keep = {}
for i = 1, 100000 do keep[i] = {i} end
printh("ready")
while true do
  for i = 1, 16 do stat(0) end
  flip()
end
