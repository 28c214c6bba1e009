-- level.lua -- the tank level sensor (simulated), serving requests.
--
-- Another context asks for a reading with nk.request("get-level"); this one
-- waits for "get-level" and answers with nk.reply, which posts
-- "get-level-reply" with the reading. The simulated tank fills by 2 % per
-- reading while pump1 runs and drains by 1 % otherwise. `set level N` from
-- the shell (or any other write of the tag) sets the reading.

local level = 50

nk.setinfo("unit", "percent")
nk.filter("get-level")
nk.filter("tag:level")

while true do
  local event, param = nk.wait()
  if event == "get-level" then
    if nk.get("pump1.state") == "running" then
      level = math.min(100, level + 2)
    else
      level = math.max(0, level - 1)
    end
    nk.reply("get-level", level)
  elseif event == "tag:level" then
    level = tonumber(param) or level
  end
end
