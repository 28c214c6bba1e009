#!/usr/bin/env bash
# The main job: builds what is needed, starts the bus server (nkbus) and the
# runtime (nkrun) stand-ins in the background, and opens nksh on them. nkrun
# runs the example scripts of examples/scripts (see docs/lua-bindings.md). On
# a terminal it is the interactive shell; without one (a pipe, CI) it runs a
# short tour of commands through nksh -c and exits. The stand-ins are stopped
# when the shell ends, also on Ctrl-C. Arguments are passed to nksh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh
dir=build/release
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_BUILD_TESTS=OFF >/dev/null
fi
echo "building nksh, nkbus and nkrun ..."
cmake --build "$dir" -j 2 --target nksh nkbus nkrun >/dev/null
bin="$top/$dir"

if (exec 3<>/dev/tcp/127.0.0.1/4242) 2>/dev/null; then
  echo "Something already listens on 127.0.0.1:4242; stop it first (it is the bus port)." >&2
  exit 1
fi

logs=$(mktemp -d /tmp/nksh-run.XXXXXX)
pids=()
# nkrun first: it signs off from the bus before the bus goes away.
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$bin/nkbus" -f >"$logs/nkbus.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/4242) 2>/dev/null && break
  sleep 0.1
done
# nkrun's configuration names the script directory; each script named on the
# command line runs as a context. -d lets the scripts' notices into the log.
config="$logs/nkrun.conf"
printf 'scriptDir=%s\n' "$top/examples/scripts" >"$config"
contexts=(pump report level client alarm rules)
"$bin/nkrun" -f -d -c "$config" "${contexts[@]}" >"$logs/nkrun.log" 2>&1 &
pids+=($!)
# nkrun is ready once it answers a Lua line (memstats would not do: it
# prints its table even when the request fails). Its scripts have run up to
# their first wait before it takes the next request.
for _ in $(seq 100); do
  out=$("$bin/nksh" -c lua "return 6*7" 2>/dev/null || true)
  [ "$out" = 42 ] && break
  sleep 0.1
done
echo "nkbus and nkrun are running (logs in $logs)."
echo "nkrun runs the scripts ${contexts[*]} of examples/scripts."

if [ -t 0 ]; then
  echo "Type help for the commands (try ps, set pump1 on, get pump1.state, post alarm reply);"
  echo "exit, quit or Ctrl-D ends the shell."
  "$bin/nksh" "$@"
  exit 0
fi

echo "No terminal on standard input, so here is a short tour (nksh -c <command>)."
tour=(
  "ps"
  "events"
  "timers"
  "rules"
  "stats"
  "set pump1 on"
  "get pump1.state"
  "set temp 35"
  "get fan1"
  "post alarm reply"
  "lua return pump_starts, nk.get(\"alarm.count\")"
)
for cmd in "${tour[@]}"; do
  echo
  echo "nksh> $cmd"
  # shellcheck disable=SC2086
  "$bin/nksh" -c $cmd
done
echo
echo "Run scripts/run.sh on a terminal for the interactive prompt."
