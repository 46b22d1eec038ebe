-- string building, string arithmetic, numeric conversions
local parts = {}
for i = 1, 300 do
  parts[#parts + 1] = string.format("%03d:%x:%g", i, i * 7, i / 3)
end
local s = table.concat(parts, ";")
print(#s, s:sub(1, 40), s:sub(-20))
local acc = ""
for i = 1, 50 do acc = acc .. string.char(65 + i % 26) end
print(acc, acc:lower():reverse())
print("10" + 5, "3" * "4", "2" ^ 2, 10 .. 20, "0x10" + 0, " 7 " * 1, "1e1" // 1)
print(string.format("%.14g", 0.1 + 0.2), 100000000000000, 2^63, math.pi, -0.0)
print(pcall(function() return "a" + 1 end))
print(pcall(function() return {} .. "x" end))
print(select(2, pcall(function() local t = nil; return t.x end)))
print(select(2, pcall(function() return #5 end)))
print(string.rep("ab", 3), ("%d"):rep(2), ("x"):len(), #"\0\1\2")
print(("key=val; k2=v2"):find("(%w+)=(%w+)"), ("abc"):find("b", 1, true))
local n = 0
for k, v in string.gmatch("a=1, b=2, c=3", "(%w+)=(%w+)") do n = n + tonumber(v) end
print(n)
