-- report.lua -- a periodic report on a snapped timer.
--
-- nk.snap("report", 10) posts the event "report" at every full ten seconds of
-- the wall clock (:00, :10, :20 ...), whenever the script started. Each
-- report goes to the log and into the tag report.last:
--   nksh -c timers            the timer "report" and its next expiry
--   nksh -c get report.last

local started = nk.now()
local count = 0

local function report()
  count = count + 1
  local text = string.format("report %d: up %d s; pump %s; level %s", count,
                             math.floor(nk.now() - started),
                             nk.get("pump1.state") or "unknown", nk.get("level") or "unknown")
  nk.set("report.last", text)
  nk.log(text)
end

nk.snap("report", 10)
nk.filter("report") -- "report" is now queued for this context's nk.wait()

report() -- a first one at once
while true do
  nk.wait() -- only "report" is filtered here
  report()
end
