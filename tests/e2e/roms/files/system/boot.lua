-- Files end to end: stored with metadata, fetched back, listed, copied,
-- moved and deleted in the root drive, in /ram and inside two cartridges.
-- The cartridges are left to be written back while frames go on; the
-- checker creates /stop.txt once it has seen them on the host.
local function show(...)
  local t = table.pack(...)
  local o = {}
  for i = 1, t.n do o[i] = tostring(t[i]) end
  printh(table.concat(o, " "))
end

local raw = '--[[pod_format="raw",metadata_format="none"]]'
for _, dir in ipairs({"/work", "/ram/work", "/c.kvd.rom", "/t.kvd"}) do
  show("mkdir", dir, mkdir(dir))
  store(dir .. "/v.pod", {n = 5, s = "x"}, '--[[pod,title="v"]]')
  store(dir .. "/main.lua", "print(1)", raw)
  store(dir .. "/gone.txt", "x", raw)
  mkdir(dir .. "/sub")
  cp(dir .. "/v.pod", dir .. "/w.pod")
  cp(dir .. "/w.pod", dir .. "/sub/m.pod")
  _fdelete(dir .. "/w.pod")
  _fdelete(dir .. "/gone.txt")
  local v = fetch(dir .. "/v.pod")
  local m = fetch(dir .. "/sub/m.pod")
  local names, folders = ls(dir)
  show(dir, v.n, v.s, m.n, _fetch_metadata_from_file(dir .. "/v.pod").title,
       fetch(dir .. "/main.lua"), table.concat(names, ","), folders,
       (fstat(dir .. "/sub/m.pod")), fstat(dir .. "/gone.txt"))
end
printh("stored")
while not fstat("/stop.txt") do flip() end
show("root", table.concat(ls("/"), ","))
_signal(33)
while true do flip() end
