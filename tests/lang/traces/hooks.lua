-- Line, call, return and count hooks over calls (plain, vararg, tail,
-- metamethods, a callback from a library function, a protected error): the
-- events' counts and a running hash of their lines.
local counts, h = {}, 0
local function hook(e, l)
  counts[e] = (counts[e] or 0) + 1
  local line = l or debug.getinfo(2, 'l').currentline
  h = (h * 31 + line * 7 + #e) % 1000000007
end
local function leaf(x) return x + 1 end
local function va(...) local a = ... return (a or 0) + select('#', ...) end
local function tail(n) if n == 0 then return 0 end return tail(n - 1) end
local mt = {__index = function(t, k) return k * 2 end, __add = function(a, b) return 3 end}
local function work(n)
  local s = 0
  for i = 1, n do
    s = s + leaf(i)
    s = s + va(i, i)
    if i % 50 == 0 then s = s + tail(5) end
    local p = setmetatable({}, mt)
    s = s + p[i] + (p + 1)
    s = s % 1000003
  end
  string.gsub('abc', '%w', function(c) s = s + leaf(#c) end)
  pcall(error, 'x')
  return s
end
for _, mode in ipairs({{'l', 0}, {'c', 0}, {'r', 0}, {'', 7}, {'crl', 3}}) do
  counts, h = {}, 0
  debug.sethook(hook, mode[1], mode[2])
  local s = work(2000)
  debug.sethook()
  local keys = {}
  for k, v in pairs(counts) do keys[#keys + 1] = k .. '=' .. v end
  table.sort(keys)
  print(mode[1], mode[2], s, table.concat(keys, ' '), h)
end
