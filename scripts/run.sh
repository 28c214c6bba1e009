#!/usr/bin/env bash
# The main job: builds what is needed, starts the bus server (nkbus) and the
# runtime (nkrun) stand-ins in the background, and opens nksh on them. On a
# terminal it is the interactive shell; without one (a pipe, CI) it runs a
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
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$bin/nkbus" -f >"$logs/nkbus.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  (exec 3<>/dev/tcp/127.0.0.1/4242) 2>/dev/null && break
  sleep 0.1
done
"$bin/nkrun" -f -e alarm >"$logs/nkrun.log" 2>&1 &
pids+=($!)
# nkrun is ready once it answers: ask it with a one-shot command.
for _ in $(seq 100); do
  out=$("$bin/nksh" -c memstats 2>/dev/null || true)
  case "$out" in *Handles*) break ;; esac
  sleep 0.1
done
echo "nkbus and nkrun are running (logs in $logs)."

if [ -t 0 ]; then
  echo "Type help for the commands; exit, quit or Ctrl-D ends the shell."
  "$bin/nksh" "$@"
  exit 0
fi

echo "No terminal on standard input, so here is a short tour (nksh -c <command>)."
tour=(
  "help"
  "mem"
  "stats"
  "set pump1 on"
  "get pump1"
  "lua return 6*7, _VERSION"
  "post alarm reply"
)
for cmd in "${tour[@]}"; do
  echo
  echo "nksh> $cmd"
  # shellcheck disable=SC2086
  "$bin/nksh" -c $cmd
done
echo
echo "Run scripts/run.sh on a terminal for the interactive prompt."
