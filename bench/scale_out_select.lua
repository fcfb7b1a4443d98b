-- wrk script for scripts/scale-out-demo --measure: "/rest/sqlselect" pages, each wrk thread
-- with the session cookie of one line of the file named by COOKIES.
local cookies = {}
for line in io.lines(os.getenv("COOKIES")) do
  cookies[#cookies + 1] = line
end
local next_cookie = 0

function setup(thread)
  next_cookie = next_cookie + 1
  thread:set("cookie", cookies[(next_cookie - 1) % #cookies + 1])
end

local page = 0
function request()
  page = page % 50 + 1
  return wrk.format("GET", "/rest/sqlselect?tblNames=items&rp=20&page=" .. page, {Cookie = cookie})
end
