#!/usr/bin/env bash
# Runs the fuzz targets of a build made with NK_BUILD_FUZZERS=ON, each for a
# fixed time on a copy of its seed corpus (fuzz/corpus/<name>/ itself is never
# changed), one after the other. Fails when any target finds a crash, a leak,
# a timeout or a failed check; the input that did it is kept and named.
#   fuzz/run-fuzzers.sh BUILD_DIR [SECONDS] [NAME ...]   (default: 20 s, every target)
# Extra libFuzzer flags may come in NK_FUZZ_FLAGS (e.g. "-runs=10000000").
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: run-fuzzers.sh BUILD_DIR [SECONDS] [NAME ...]}
seconds=${2:-20}
shift $(($# < 2 ? $# : 2))
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for f in "$top"/fuzz/fuzz_*.cc; do
    n=$(basename "$f" .cc)
    names+=("${n#fuzz_}")
  done
fi

work=$(mktemp -d /tmp/nkfuzz.XXXXXX)
keep=0
cleanup() { [ "$keep" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

failed=()
for name in "${names[@]}"; do
  bin="$build/fuzz/fuzz_$name"
  [ -x "$bin" ] || { echo "run-fuzzers: no $bin (build the nk_fuzzers target)" >&2; exit 2; }
  corpus="$work/$name/corpus"
  artifacts="$work/$name/artifacts"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$top/fuzz/corpus/$name" ]; then cp -r "$top/fuzz/corpus/$name/." "$corpus/"; fi
  echo "==== fuzz_$name: ${seconds} s"
  t0=$(date +%s)
  # -timeout: a single input taking that long counts as a hang.
  # shellcheck disable=SC2086
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" ${NK_FUZZ_FLAGS:-} "$corpus" >"$work/$name/log" 2>&1; then
    grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/$name/log" || true
    echo "fuzz_$name: passed in $(($(date +%s) - t0)) s"
  else
    tail -n 60 "$work/$name/log"
    for a in "$artifacts"/*; do
      [ -e "$a" ] || continue
      echo "fuzz_$name: input kept as $a (base64: $(base64 -w0 <"$a" | head -c 4096))"
    done
    failed+=("$name")
    keep=1
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "==== fuzz: FAILED: ${failed[*]} (logs and inputs in $work)" >&2
  exit 1
fi
echo "==== fuzz: ${#names[@]} targets ran ${seconds} s each without a finding"
