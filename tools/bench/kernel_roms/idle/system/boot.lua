-- 120 idle frames, then exit.
for frame = 1, 120 do flip() end
_signal(33)
while true do flip() end
