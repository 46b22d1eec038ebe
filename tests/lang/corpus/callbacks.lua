-- Lua called back from C (sort, gsub, tostring, format, pairs, load readers,
-- finalizers, to-be-closed variables, metamethods, message handlers) and
-- coroutines yielding from them. Written so that a forced yield changes
-- nothing: 'step' resumes again after an empty resume, and every real yield
-- carries a value.
local function step(co, ...)
  local r = table.pack(coroutine.resume(co, ...))
  while r[1] and r.n == 1 and coroutine.status(co) == "suspended" do
    r = table.pack(coroutine.resume(co))
  end
  return table.unpack(r, 1, r.n)
end
local function run(f, ...) return step(coroutine.create(f), ...) end
local function spin(n) local s = 0 for i = 1, n do s = s + i % 7 end return s end

-- callbacks that run long (many budgets) and then return
local t = {}
for i = 1, 60 do t[i] = (i * 37) % 61 end
table.sort(t, function(a, b) spin(3) return a > b end)
print(t[1], t[30], t[60])
print((string.gsub("a1b22c333", "%d+", function(d) spin(20) return "<" .. #d .. ">" end)))
local T = setmetatable({}, {__tostring = function() spin(50) return "tostr" end, __name = "N"})
print(tostring(T), string.format("[%s|%10s]", T, T))
local parts, n = {"return ", "1 + ", "41"}, 0
print(load(function() spin(30) n = n + 1 return parts[n] end)())
local P = setmetatable({}, {__pairs = function(s) spin(40)
  return function(_, k) if (k or 0) < 3 then return (k or 0) + 1, spin(10) end end, s, nil end})
for k, v in pairs(P) do io.write(k, "=", v, " ") end print()
print(select("#", table.unpack({1, 2, 3}, 1, 3)), #setmetatable({}, {__len = function() return spin(25) end}))

-- yielding from each of them, inside a coroutine
local function yield1(...) coroutine.yield("y") return ... end
local M = setmetatable({}, {__index = function(_, k) return yield1(k .. "!") end,
  __add = function(a, b) return yield1(40) + 2 end, __lt = function() return yield1(true) end,
  __concat = function() return yield1("cat") end, __len = function() return yield1(7) end,
  __call = function(_, x) return yield1(x * 2) end, __close = function() yield1() end,
  __tostring = function() return yield1("ts") end})
local cases = {
  {"sort", function() table.sort({3, 1, 2}, function(a, b) coroutine.yield("y") return a < b end) end},
  {"gsub", function() return (string.gsub("abc", "%w", function(c) return yield1(c:upper()) end)) end},
  {"tostring", function() return tostring(M) end},
  {"format", function() return string.format("%s", M) end},
  {"load", function() local d = false return load(function() if d then return nil end d = true return yield1("return 1") end) end},
  {"xpcall handler", function() return xpcall(error, function(m) return yield1(m) end, "e") end},
  {"index", function() return M.key end},
  {"add", function() return M + 1 end},
  {"lt", function() return M < M end},
  {"concat", function() return M .. "x" end},
  {"len", function() return #M end},
  {"call", function() return M(21) end},
  {"pairs", function() local n = 0 for k in pairs(setmetatable({}, {__pairs = function()
    coroutine.yield("p") return next, {1, 2}, nil end})) do n = n + k end return n end},
  {"close", function() do local c <close> = M end return "closed" end},
  {"require", function() package.preload.m = function() return yield1("mod") end return require("m") end},
  {"closing another", function() local c = coroutine.create(function() local x <close> = M
    coroutine.yield("held") end) step(c) return coroutine.close(c) end},
}
for _, c in ipairs(cases) do
  local co = coroutine.create(function() return pcall(c[2]) end)
  local out, ok, a, b, e = {}
  repeat
    ok, a, b, e = step(co, "resumed")
    out[#out + 1] = tostring(a) .. "," .. tostring(b) .. "," .. tostring(e)
  until not ok or coroutine.status(co) == "dead"
  print(c[1], table.concat(out, " "))
end

-- to-be-closed variables of a suspended coroutine, closed from outside
local log = {}
local function closer(name) return setmetatable({}, {__close = function(_, e) spin(30) log[#log + 1] = name .. ":" .. tostring(e) end}) end
local co = coroutine.create(function()
  local a <close> = closer("a")
  local b <close> = closer("b")
  coroutine.yield("held")
  log[#log + 1] = "not reached"
end)
print(step(co))
print(coroutine.close(co), coroutine.status(co), table.concat(log, " "))
co = coroutine.create(function()
  local a <close> = setmetatable({}, {__close = function() error("in close") end})
  coroutine.yield("held")
end)
step(co)
print(coroutine.close(co))

-- nested coroutines, wrap, errors after resumes
local inner = coroutine.wrap(function(x)
  for i = 1, 3 do spin(15) x = coroutine.yield(x + i) end
  error({code = x})
end)
local outer = coroutine.create(function()
  local acc, v = {}, 0
  for i = 1, 3 do
    local r repeat r = table.pack(inner(v)) until r.n > 0
    v = r[1] acc[#acc + 1] = v
    coroutine.yield("o" .. v)
  end
  local r repeat r = table.pack(pcall(inner, 100)) until r.n > 1
  return table.concat(acc, ","), r[1], type(r[2]) == "table" and r[2].code
end)
for i = 1, 4 do print(step(outer)) end
print(step(outer))

-- pcall inside a coroutine, many budgets long, errors from Lua and C
co = coroutine.create(function()
  local caught = 0
  for i = 1, 30 do
    local ok, e = pcall(function() spin(20) if i % 3 == 0 then error("e" .. i) end
      if i % 3 == 1 then return ("x"):rep(-1) .. nil end return i end)
    if not ok then caught = caught + 1 end
    if i % 10 == 0 then coroutine.yield("at" .. i, caught) end
  end
  return caught
end)
for i = 1, 4 do print(step(co)) end
print(step(co))

-- suspended threads that nothing holds, collected with their finalizers
local collected = 0
local G = {__gc = function() collected = collected + 1 end}
for i = 1, 20 do
  local c = coroutine.create(function()
    local h = setmetatable({}, G)
    local z <close> = closer("never")
    coroutine.yield("s" .. i)
  end)
  step(c)
end
collectgarbage() collectgarbage()
print(collected, #log)

-- a finalizer that tries to yield
co = coroutine.create(function()
  local res
  do local x = setmetatable({}, {__gc = function()
    local ok, e = pcall(coroutine.yield, "g") res = tostring(ok) .. " " .. tostring(e:find("yield") ~= nil) end}) end
  collectgarbage()
  coroutine.yield(res or "not yet")
  collectgarbage()
  return res
end)
print(step(co))
print(step(co))
