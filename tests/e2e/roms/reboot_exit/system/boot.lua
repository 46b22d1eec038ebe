-- Each boot asks for a reboot and an exit in the same frame: the reboot goes
-- first and clears the exit, so the system reboots every frame, at the pace
-- of the frames, until the host says stop.
printh("boot")
_signal(34)
_signal(33)
while true do flip() end
