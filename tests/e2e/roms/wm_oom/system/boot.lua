-- The process in table slot 1 runs out of memory: the program ends.
_create_process_from_code([[
  local t = {}
  for i = 1, 1e9 do t[i] = string.rep("x", 4000) .. i end]], "hog", "/system/wm.lua")
while true do
  _run_process_slice(2, 0.5)
  flip()
end
