-- tables, metatables, integer/float arithmetic, bitwise, strings
local t = {}
for i = 1, 100 do t[i] = i * 3 % 17 end
local keys = 0
for k, v in pairs({a = 1, b = 2, c = 3}) do keys = keys + v end
print(#t, t[50], keys)
local s = 0
for i, v in ipairs(t) do s = s + v * i end
print(s, s // 7, s % 7, s / 8, 2^10, 7 // 2.0, -7 // 2, -7 % 3, 7 % -3, 5.5 % 2)
print(0xFF & 0x0F, 0xF0 | 0x0F, 5 ~ 3, ~0, 1 << 62, 1 << 64, -1 >> 1, 3 << -1)
print(math.maxinteger + 1 == math.mininteger, math.type(1), math.type(1.0), 1e15, 2^53, 1/0, -1/0)
print(math.floor(-3.5), math.ceil(-3.5), math.abs(-4), math.max(3, 9, 2), math.tointeger(3.0), 7 // 0.0)
local V = {}
V.__index = V
V.__add = function(a, b) return setmetatable({x = a.x + b.x}, V) end
V.__eq = function(a, b) return a.x == b.x end
V.__lt = function(a, b) return a.x < b.x end
V.__le = function(a, b) return a.x <= b.x end
V.__len = function(a) return a.x end
V.__concat = function(a, b) return "V" .. (type(a) == "table" and a.x or a) .. (type(b) == "table" and b.x or b) end
V.__call = function(self, y) return self.x * y end
V.__unm = function(a) return setmetatable({x = -a.x}, V) end
local function v(x) return setmetatable({x = x}, V) end
local p = v(2) + v(3)
print(p.x, p == v(5), v(1) < v(2), v(3) <= v(2), #p, p .. "!", "?" .. p, p(4), (-p).x)
local proxy = setmetatable({}, {__index = function(_, k) return k .. "!" end, __newindex = function(t2, k, val) rawset(t2, k, val * 2) end})
proxy.z = 21
print(proxy.q, proxy.z)
local words = {}
for w in ("the quick brown fox jumps"):gmatch("%a+") do words[#words + 1] = w:upper() end
print(table.concat(words, "-"), ("hello"):rep(3, ","), ("abc"):byte(1, -1))
print(("x=%d y=%s"):format(5, "z"), ("hello world"):gsub("o", "0"), ("  trim  "):match("^%s*(.-)%s*$"))
table.sort(t, function(a, b) return a > b end)
print(t[1], t[100], table.unpack(t, 1, 5))
print(tostring(nil), tostring(true), tonumber("0x10"), tonumber("  5  "), tonumber("z", 36), tonumber("1e2"))
print(string.pack("<i4", 100):byte(1, -1))
print(utf8.char(72, 228, 8364), utf8.len("häll€"))
local big = {}
for i = 1, 2000 do big[#big + 1] = tostring(i) end
print(#table.concat(big), collectgarbage("count") > 0)
