-- Holds the system without ever asking to exit.
_signal(40)
printh("ready")
while true do flip() end
