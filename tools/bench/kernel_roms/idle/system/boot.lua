-- 120 idle frames between two marks on standard output, then exit. The
-- frames before the first mark stay out of the count: what is set up once,
-- the audio device's thread starting and its first buffers among it. So do
-- the frames after the second: the bench reads the CPU a moment after each
-- mark, and the exit (the audio thread's end among it) must not begin in it.
for frame = 1, 10 do flip() end
printh("from")
for frame = 1, 120 do flip() end
printh("to")
for frame = 1, 10 do flip() end
_signal(33)
while true do flip() end
