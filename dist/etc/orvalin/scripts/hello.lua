-- hello.lua -- the example script that the nkrun service starts (see
-- /etc/default/nkrun). It writes the time it started into the tag
-- device.started and counts minutes in device.minutes:
--   nksh -c "get device.started"
--   nksh -c "get device.minutes"
-- Put your own scripts beside it and name them in /etc/default/nkrun.

nk.set("device.started", os.date("!%Y-%m-%dT%H:%M:%SZ"))
nk.set("device.minutes", 0)
nk.log("hello: the device's runtime started")

local minutes = 0
nk.every("minute", 60)
nk.filter("minute")
while true do
  nk.wait()
  minutes = minutes + 1
  nk.set("device.minutes", minutes)
end
