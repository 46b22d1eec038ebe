-- The root restarts itself: a reboot, every frame, until the host says stop.
printh("boot")
flip()
_kill_process(pid(), 1)
while true do flip() end
