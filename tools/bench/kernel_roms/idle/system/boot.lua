-- 120 idle frames between two marks on standard output, then exit. The
-- frames before the first mark stay out of the count: what is set up once,
-- the audio device's thread starting and its first buffers among it.
for frame = 1, 10 do flip() end
printh("from")
for frame = 1, 120 do flip() end
printh("to")
_signal(33)
while true do flip() end
