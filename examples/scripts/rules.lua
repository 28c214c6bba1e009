-- rules.lua -- rules: small logic that the runtime evaluates by itself
-- whenever an input tag changes; no context needs to run for it.
--
--   nksh -c rules             the chain: "fan" reads the rule "hot"
--   nksh -c set temp 35       hot becomes 1; with pump1 on, fan1 goes to 1
--   nksh -c get fan1

-- Rules read a tag that was never written as "", which compares as text
-- ("" < "3"): start from a plausible temperature until a sensor (or the
-- shell) writes one.
if not nk.get("temp") then nk.set("temp", 20) end

nk.rule("hot", ">", "temp", 30)                -- temp above 30 degrees
nk.rule("fan", "and", "hot", "pump1", "fan1")  -- cool the running pump's motor
nk.rule("frost", "<", "temp", 3, "heater1")    -- a constant input: 3 degrees

-- Rule outputs are tag writes too, so a context can watch them.
nk.filter("tag:fan1")
while true do
  local _, value = nk.wait()
  nk.log("fan1 is " .. ((value == "1") and "on" or "off"))
end
