-- Runs until the host asks the program to end.
printh("ready")
while true do flip() end
