-- coroutines (excluded from the budget-stress run: a forced yield inside a
-- coroutine reaches its resumer as an empty resume)
local gen = coroutine.wrap(function() for i = 1, 5 do coroutine.yield(i, i * i) end return "end" end)
for i = 1, 6 do print(gen()) end
local co = coroutine.create(function(a, b)
  local c = coroutine.yield(a + b)
  local d, e = coroutine.yield(c * 2)
  return d + e
end)
print(coroutine.resume(co, 1, 2))
print(coroutine.resume(co, 10))
print(coroutine.resume(co, 3, 4))
print(coroutine.resume(co), coroutine.status(co))
print(coroutine.isyieldable(), select(2, coroutine.running()))
