-- pump.lua -- the controller of pump1, written as a task-state machine.
--
-- The context has three task states, "idle", "running" and "fault", and one
-- handler per event and state; the loop at the end takes the next event with
-- nk.wait() and nk.dispatch() calls the handler of the current state.
--
-- Try it from the shell:
--   set pump1 on | set pump1 off    the operator switch: tag pump1
--   set level 3                     a low tank level while running: dry-run fault
--   post pump-fault                 an external fault (e.g. a motor relay)
--   post pump-reset                 acknowledge a fault
--   get pump1.state                 what this script wrote

-- Globals are shared by every context and by `nksh -c lua` lines; this one is
-- meant to be read from the shell (lua return pump_starts).
pump_starts = 0

local MIN_LEVEL = 5 -- below this a running pump is stopped (dry run)

nk.setname("pump1")
nk.setinfo("model", "CP-200")
nk.setinfo("tank", "T1")

nk.addstate("idle")
nk.addstate("running")
nk.addstate("fault")

-- Tag values are text: "on", "1", "true" or "yes" switch the pump on.
local function on(value)
  return value == "on" or value == "1" or value == "true" or value == "yes"
end

-- Enters a task state and publishes it in the tag pump1.state.
local function enter(state, why)
  nk.setstate(state)
  nk.set("pump1.state", state)
  nk.log("pump1 " .. state .. (why and (": " .. why) or ""))
end

-- tag:pump1 -- the operator switch, one handler per state.
nk.handler("tag:pump1", function(_, value)
  if on(value) then
    pump_starts = pump_starts + 1
    nk.setinfo("starts", pump_starts)
    enter("running", "switched on")
  end
end, "idle")

nk.handler("tag:pump1", function(_, value)
  if not on(value) then enter("idle", "switched off") end
end, "running")

nk.handler("tag:pump1", function(_, value)
  nk.log("warn", "pump1 is in fault, switch " .. value .. " ignored (post pump-reset)")
end, "fault")

-- tag:level -- the tank level. A handler for all states first; the handler
-- for "running" then replaces it in that state only.
nk.handler("tag:level", function() end)
nk.handler("tag:level", function(_, value)
  local level = tonumber(value)
  if level and level < MIN_LEVEL then enter("fault", "dry run at level " .. value) end
end, "running")

-- pump-fault -- in every state; the shell's post carries its bus name.
nk.handler("pump-fault", function(_, from)
  enter("fault", "reported by " .. tostring(from))
end)

-- pump-reset -- only meaningful in "fault".
nk.handler("pump-reset", function() nk.log("pump1: nothing to reset") end)
nk.handler("pump-reset", function()
  nk.set("pump1", "off") -- the switch must be turned on again
  enter("idle", "reset")
end, "fault")

enter("idle")

while true do
  local event, param = nk.wait()
  local ok, err = nk.dispatch(event, param)
  if ok == false then nk.log("warn", "pump1: " .. event .. " not handled: " .. tostring(err)) end
end
