-- Processes in table slot 1 run out of memory, one growing past the limit and
-- one refused a string buffer past the headroom while garbage still counts:
-- each is removed like any other, and the program goes on.
local hogs = {
  [[local t = {}
    for i = 1, 1e9 do t[i] = string.rep("x", 4000) .. i end]],
  [[collectgarbage("stop")
    string.gsub("x", "x", function()
      local keep = string.rep("k", 20 * 2^20)
      local junk = string.rep("j", 20 * 2^20)
      junk = nil
      printh("hog: " .. #string.rep("x", 25 * 2^20))
    end)]],
}
for _, code in ipairs(hogs) do
  local id = _create_process_from_code(code, "hog", "/system/wm.lua")
  local frames = 0
  while _process_state(id) ~= -1 and frames < 600 do
    _run_process_slice(id, 0.5)
    frames += 1
    flip()
  end
  printh("slot 1 state " .. _process_state(id))
end
_signal(33)
while true do flip() end
