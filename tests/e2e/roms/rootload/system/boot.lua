-- The boot script sees the whole API, load included.
printh("load is a " .. type(load))
local f, err = load("return 1 + 2")
printh("load gives " .. tostring(f and f()))
_signal(33)
while true do flip() end
