-- 120 idle frames between two marks on standard output, then exit. The first
-- frame comes before the first mark: what is set up once stays out of the count.
flip()
printh("from")
for frame = 1, 120 do flip() end
printh("to")
_signal(33)
while true do flip() end
