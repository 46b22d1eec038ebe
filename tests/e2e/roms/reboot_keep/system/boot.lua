-- Changes a cartridge that the host will not let grow that large, then
-- reboots: the unsaved cartridge is kept across the reboot, and the second
-- boot still reads the change before it exits.
local raw = '--[[pod_format="raw",metadata_format="none"]]'
if not fetch("/rebooted.txt") then
  mkdir("/k.kvd")
  store("/k.kvd/a.lua", string.rep("x", 300000), raw)
  store("/rebooted.txt", "yes", raw)
  _signal(34)
else
  local a = fetch("/k.kvd/a.lua")
  printh("after " .. tostring(a and #a))
  _signal(33)
end
while true do flip() end
