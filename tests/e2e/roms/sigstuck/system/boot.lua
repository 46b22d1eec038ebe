-- Every frame a new process gets stuck in a callback that cannot yield.
_create_process_from_code("while true do flip() end", "two", "/system/two.lua")
_create_process_from_code("while true do flip() end", "wm", "/system/wm.lua")
printh("ready")
while true do
  local id = _create_process_from_code("string.gsub('x', 'x', function() while true do end end)",
                                       "stuck", "/stuck.lua")
  _run_process_slice(id, 0.5)
  flip()
end
