-- alarm.lua -- takes the operator's alarm posts.
--
--   nksh -c post alarm reply
-- answers "event=alarm" once the post reached this context (it is blocked
-- on "alarm"); without a context for the event the shell would print
-- status=ipc-fail,code=6. The parameter of the shell's post is its bus name.

local count = 0
while true do
  local from = nk.waitfor("alarm")
  count = count + 1
  nk.set("alarm.count", count)
  nk.log("warn", "alarm " .. count .. " raised by " .. tostring(from))
end
