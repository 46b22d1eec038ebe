-- Changes a cartridge, then holds the system for ever: the changes must
-- still reach the cartridge file when the program is told to end.
mkdir("/h.kvd")
store("/h.kvd/a.lua", "print(1)", '--[[pod_format="raw",metadata_format="none"]]')
_signal(40)
printh("ready")
while true do flip() end
