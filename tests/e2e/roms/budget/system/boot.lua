-- Exact budgets: half a frame, debt carried over, and a spent frame.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code("while true do flip() end", "wm", "/system/wm.lua")
local hog = _create_process_from_code("burn(300000) while true do end", "hog", "/hog.lua")
local idle = _create_process_from_code("while true do flip() end", "idle", "/idle.lua")

local function run(id, f, rough)
  local done, cpu = _run_process_slice(id, f)
  local cycles = math.floor(cpu * 279620 + 0.5)
  printh(tostring(done) .. " " .. (rough and tostring(cycles > 0 and cycles < 1000) or cycles))
end

run(hog, 0.5)   -- burn overruns the half frame: the rest is debt
flip()
run(hog, 0.5)   -- the debt fills this slice too
flip()
run(hog, 1.0)   -- the rest of the debt, then the loop to the end of the frame
run(idle, 1.0)  -- nothing left in this frame
flip()
run(idle, 0.25, true)  -- flips well within its budget
run(idle, 0.25)  -- its frame is complete
burn(-10)
burn(0)
_signal(33)
while true do flip() end
