-- wrk script for scripts/scale-out-demo --measure: SaveData calls inserting one new row each,
-- each wrk thread with the session cookie of one line of the file named by COOKIES. ROUND keeps
-- the ids of successive runs apart.
local cookies = {}
for line in io.lines(os.getenv("COOKIES")) do
  cookies[#cookies + 1] = line
end
local next_thread = 0

function setup(thread)
  next_thread = next_thread + 1
  thread:set("cookie", cookies[(next_thread - 1) % #cookies + 1])
  thread:set("base", (tonumber(os.getenv("ROUND")) * 100 + next_thread) * 1000000)
end

local function urlencode(s)
  return (s:gsub("[^%w%-_%.~]", function(c) return string.format("%%%02X", string.byte(c)) end))
end

local seq = 0
function request()
  seq = seq + 1
  local id = base + seq
  local params = '{"TableName":"saved","KeyFields":"id","Changes":"<rs:data><rs:insert>' ..
      '<z:row id=\\"' .. id .. '\\" client=\\"0\\" seq=\\"' .. seq .. '\\" name=\\"wrk\\"/>' ..
      '</rs:insert></rs:data>"}'
  return wrk.format("POST", "/appservice/",
                    {Cookie = cookie, ["Content-Type"] = "application/x-www-form-urlencoded"},
                    "Function=SaveData&Params=" .. urlencode(params))
end
