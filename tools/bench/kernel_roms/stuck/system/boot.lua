-- A ROM that stops printing: its first line, a frame marked, then frames
-- without end. The kernel bench must stop it and fail, never wait for it.
printh("from")
printh("idle")
while true do flip() end
