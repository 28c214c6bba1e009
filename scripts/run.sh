#!/usr/bin/env bash
# The main job: builds nksh if needed and opens it. On a terminal it is the
# interactive shell; without one (a pipe, CI) it runs a short tour of commands
# through nksh -c and exits. Arguments are passed to nksh.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/install-deps.sh
dir=build/release
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$dir" -j 2 --target nksh >/dev/null
nksh="$top/$dir/nksh"

if [ -t 0 ]; then
  exec "$nksh" "$@"
fi

echo "nksh: no terminal on standard input, so here is a short tour (nksh -c <command>)."
for cmd in version help; do
  echo
  echo "nksh> $cmd"
  "$nksh" -c "$cmd"
done
echo
echo "Run scripts/run.sh on a terminal for the interactive prompt (exit, quit or Ctrl-D ends it)."
