-- client.lua -- asks the level sensor context (level.lua) for a reading
-- every two seconds and publishes it in the tag "level".
--
-- nk.request posts "get-level" and blocks this context until the answer,
-- "get-level-reply", is posted; nk.sleep lets the others run meanwhile.
-- Writing the tag posts "tag:level", which pump.lua watches.

while true do
  local reading = nk.request("get-level")
  nk.set("level", reading)
  nk.sleep(2)
end
