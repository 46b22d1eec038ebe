-- The process in table slot 1 is refused a buffer that would take it past its
-- limit and headroom while garbage still counts: it is removed as out of
-- memory, and the program goes on.
_create_process_from_code([[
  collectgarbage("stop")
  string.gsub("x", "x", function()
    local keep = string.rep("k", 20 * 2^20)
    local junk = string.rep("j", 20 * 2^20)
    junk = nil
    printh("hog: " .. #string.rep("x", 25 * 2^20))
  end)]], "hog", "/system/wm.lua")
local frames = 0
while _process_state(2) ~= -1 and frames < 600 do
  _run_process_slice(2, 0.5)
  frames += 1
  flip()
end
printh("slot 1 state " .. _process_state(2))
_signal(33)
while true do flip() end
