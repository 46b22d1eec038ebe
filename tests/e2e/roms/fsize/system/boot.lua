-- Stores a file larger than the host lets a file grow, then a small one,
-- and exits: the refused write is an error for the program, not its end.
local raw = '--[[pod_format="raw",metadata_format="none"]]'
printh("big " .. tostring((store("/big.txt", string.rep("x", 300000), raw))))
printh("small " .. tostring((store("/small.txt", "kept", raw))))
printh("fetched " .. tostring((fetch("/small.txt"))))
_signal(33)
while true do flip() end
