-- classic algorithms: sieve, sorting, queens, string hashing
local function sieve(n)
  local is = {}
  for i = 2, n do is[i] = true end
  for i = 2, n do
    if is[i] then for j = i * i, n, i do is[j] = false end end
  end
  local c = 0
  for i = 2, n do if is[i] then c = c + 1 end end
  return c
end
print(sieve(10000))
local function qsort(a, lo, hi)
  if lo < hi then
    local p, i = a[hi], lo - 1
    for j = lo, hi - 1 do
      if a[j] <= p then i = i + 1 a[i], a[j] = a[j], a[i] end
    end
    a[i + 1], a[hi] = a[hi], a[i + 1]
    qsort(a, lo, i)
    qsort(a, i + 2, hi)
  end
end
local a, x = {}, 12345
for i = 1, 500 do x = (x * 1103515245 + 12345) % 2147483648 a[i] = x % 1000 end
qsort(a, 1, #a)
print(a[1], a[250], a[500])
local N, count = 6, 0
local cols = {}
local function ok(r, c)
  for pr = 1, r - 1 do
    local pc = cols[pr]
    if pc == c or math.abs(pc - c) == r - pr then return false end
  end
  return true
end
local function place(r)
  if r > N then count = count + 1 return end
  for c = 1, N do if ok(r, c) then cols[r] = c place(r + 1) end end
end
place(1)
print(count)
local h = 5381
for i = 1, #"the workstation" do h = (h * 33 + ("the workstation"):byte(i)) & 0xFFFFFFFF end
print(h, h >> 16, h ~ 0xABCD)
local m = {}
for i = 1, 10 do m[i] = {} for j = 1, 10 do m[i][j] = i * j end end
local tr = 0
for i = 1, 10 do tr = tr + m[i][i] end
print(tr)
local w = 0 repeat w = w + 3 until w > 20 print(w)
local i = 10 while i > 0 do i = i - 4 end print(i)
