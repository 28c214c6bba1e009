#!/usr/bin/env bash
# Mutation scores of every unit: each module of lib/, the shell's units and the
# tools, 30 mutants each with one fixed seed, so that two runs on the same
# sources draw the same spots and their scores compare (docs/testing.md).
#   scripts/mutants.sh BUILD_DIR OUT_DIR [unit ...]
# BUILD_DIR is a Debug build of this work tree with tests on; the work tree
# must be clean and the current directory (each mutant is written into it and taken back). Run as root,
# the tests get a network namespace of their own, so that their fixed bus port
# cannot meet another run's; otherwise tests that share the port run one at a
# time and nothing else on the machine may hold it.
# NK_MUTANTS names the tool (default ../shared/tools/mutants).
set -euo pipefail
build=$1
out=$2
shift 2
mutants=${NK_MUTANTS:-../shared/tools/mutants}
seed=${NK_MUTANTS_SEED:-13}
count=${NK_MUTANTS_COUNT:-30}

# unit  source  test target  jobs
units=(
  "nksyslog lib/nksyslog.cc nksyslog_test 2"
  "argparse lib/argparse.cc argparse_test 2"
  "list lib/list.cc list_test 2"
  "mem lib/mem.cc mem_test 2"
  "nkstrings lib/nkstrings.cc nkstrings_test 2"
  "array lib/array.cc array_test 2"
  "hash lib/hash.cc hash_test 2"
  "commands lib/commands.cc commands_test 2"
  "clock lib/clock.cc clock_test 2"
  "timer lib/timer.cc timer_test 2"
  "configfile lib/configfile.cc configfile_test 1"
  "netfuncs lib/netfuncs.cc netfuncs_test 2"
  "runtime lib/runtime.cc runtime_test 2"
  "nkmsg lib/nkmsg.cc nkmsg_test 1"
  "table lib/table.cc table_test 2"
  "context lib/context.cc context_test 2"
  "event lib/event.cc event_test 2"
  "shell shell/shell.cc shell_test 1"
  "stats shell/stats.cc shell_test 1"
  "runtimecmds shell/runtimecmds.cc shell_test 1"
  "console shell/console.cc shell_test 1"
  "nkbus tools/nkbus.cc nkbus_test 1"
  "nkrun tools/nkrun.cc nkrun_test 1"
  "nkrun_lua tools/nkrun_lua.cc nkrun_test 1"
  "nkrun_rtdb tools/nkrun_rtdb.cc nkrun_test 1"
  "nkbridge tools/nkbridge.cc fleet_test 1"
  "nkfleet tools/nkfleet.cc fleet_test 1"
)

isolate=()
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  isolate=(unshare -n sh -c 'ip link set lo up && exec "$@"' isolate)
fi

mkdir -p "$out"
for u in "${units[@]}"; do
  read -r name source target jobs <<<"$u"
  if [ $# -gt 0 ] && [[ " $* " != *" $name "* ]]; then continue; fi
  echo "== $name"
  "${isolate[@]}" "$mutants" --build "$build" --module "$name" --source "$source" \
    --target "$target" --count "$count" --seed "$seed" --jobs "$jobs" --timeout 60 \
    >"$out/$name.log" 2>&1 || echo "   (mutants exited $?)"
  tail -1 "$out/$name.log"
  # A mutant can leave a program of the build running past the tool's timeout
  # (a test stuck in a loop, a server a dying test did not stop): end them,
  # so that they neither hold the port nor slow the next unit.
  pkill -KILL -f "^$(realpath "$build")/" || true
done
