-- closures, upvalues, varargs, recursion
local function counter()
  local n = 0
  return function(k) n = n + (k or 1) return n end
end
local c1, c2 = counter(), counter()
for i = 1, 5 do c1(i) end
print(c1(), c2(), c2(10))
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
print(fib(20))
local function sum(...)
  local s = 0
  for i = 1, select('#', ...) do s = s + (select(i, ...)) end
  return s, ...
end
print(sum(1, 2, 3.5, 4))
local fs = {}
for i = 1, 4 do fs[i] = function() return i * i end end
print(fs[1](), fs[4]())
local t = table.pack(pcall(error, {code = 7}))
print(t.n, t[1], type(t[2]), t[2].code)
print(select(2, pcall(error, "msg", 0)))
print(string.format("%5.2f|%d|%s|%q", 3.14159, 42, "x", "a\nb"))
goto skip
print("not printed")
::skip::
local a <const> = 10
local ok, e = pcall(function() local x <close> = setmetatable({}, {__close = function() print("closed") end}) error("boom", 0) end)
print(ok, e, a)
