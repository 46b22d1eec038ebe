-- Random Lua values for the pod round-trip tests, and a canonical text of a
-- value that stock Lua and the workstation's Lua both compute the same way.
-- Runs unchanged on Debian's lua5.4.

local reserved = {}
for w in ([[and break do else elseif end false for function goto if in local
  nil not or repeat return then true until while]]):gmatch("%a+") do reserved[w] = true end

local function hex(s)
  return (s:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

local function canon_number(x)
  if math.type(x) == "integer" then return string.format("%d", x) end
  local i = math.tointeger(x)
  if i then return string.format("%d", i) end
  return string.format("%.17g", x)
end

-- ud_bytes(u) (given by the host program) returns a text of a userdata's type,
-- shape and bytes; stock Lua never meets userdata here.
function canon(v)
  local t = type(v)
  if t == "nil" then return "nil" end
  if t == "boolean" then return v and "T" or "F" end
  if t == "number" then return "n" .. canon_number(v) end
  if t == "string" then return "s" .. hex(v) end
  if t == "userdata" then return "u" .. ud_bytes(v) end
  assert(t == "table", t)
  local parts = {}
  for k, x in pairs(v) do
    if x ~= nil then parts[#parts + 1] = canon(k) .. "=" .. canon(x) end
  end
  table.sort(parts)
  return "{" .. table.concat(parts, ";") .. "}"
end

-- A float whose "%.14g" text reads back as itself.
local function short_float()
  local x = (math.random() - 0.5) * 10.0 ^ math.random(-30, 30)
  return tonumber(string.format("%.14g", x))
end

-- (floats of at most 14 significant digits: the text keeps 14)
local specials = {0, -1, 1, 255, 256, -256, 2.0^40, -1e15, 2^-20, math.maxinteger, math.mininteger,
  math.huge, -math.huge, -0.0, 0.5, 1e308, 5e-324, 1e-300, 123456789012345}

local function random_string()
  local n = math.random(0, 3) == 0 and math.random(0, 300) or math.random(0, 8)
  local bytes = {}
  for i = 1, n do bytes[i] = string.char(math.random(0, 255)) end
  return table.concat(bytes)
end

local function random_key(stock)
  local r = math.random(1, 10)
  if r <= 4 then
    local ident = ({"a", "b", "x1", "_", "_k", "Key", "event", "nil", "true", "end", "str", "pxu",
      "userdata", "unpod", "lz4", "b64", "false"})[math.random(1, 17)]
    if stock and reserved[ident] then ident = ident .. "_" end
    return ident
  elseif r <= 6 then return random_string()
  elseif r <= 8 then return math.random(-1000, 1000)
  elseif r == 9 then return specials[math.random(1, #specials)]
  else return short_float() end
end

local ud_types = {"u8", "i16", "i32", "i64", "f64"}
local ud_digits = {u8 = 2, i16 = 4, i32 = 8, i64 = 16}

local function random_userdata()
  local ty = ud_types[math.random(1, 5)]
  local w, h = math.random(1, 40), math.random(1, 3)
  local two = math.random(0, 1) == 1
  local n = two and w * h or w
  local parts = {}
  for i = 1, n do
    if ty == "f64" then
      parts[i] = string.format("%.14g", short_float())
    else
      local digits = {}
      local run = math.random(0, 1) == 1  -- runs of one value compress
      for d = 1, ud_digits[ty] do digits[d] = run and "3" or string.format("%x", math.random(0, 15)) end
      parts[i] = table.concat(digits)
    end
  end
  local data = table.concat(parts, ty == "f64" and "," or "")
  if two then return userdata(ty, w, h, data) end
  return userdata(ty, w, data)
end

function random_value(depth, stock)
  local r = math.random(1, depth > 0 and 12 or 9)
  if r == 1 then return math.random(0, 1) == 1
  elseif r == 2 then return math.random(math.mininteger, math.maxinteger)
  elseif r == 3 then return math.random(-100, 100)
  elseif r == 4 then return short_float()
  elseif r == 5 then return specials[math.random(1, #specials)]
  elseif r <= 7 then return random_string()
  elseif r <= 9 then
    if stock then return random_string() end
    return random_userdata()
  end
  local t = {}
  for i = 1, math.random(0, 6) do t[i] = random_value(depth - 1, stock) end
  if math.random(0, 4) == 0 then t[math.random(1, 3)] = nil end  -- a hole
  for i = 1, math.random(0, 6) do
    local k = random_key(stock)
    if k == k then t[k] = random_value(depth - 1, stock) end
  end
  return t
end
