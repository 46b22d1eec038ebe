-- Asks to exit in its first frame: the cost of starting and ending.
_signal(33)
while true do flip() end
