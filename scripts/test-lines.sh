#!/usr/bin/env bash
# Lines of tests against lines of product code, as the team counts them: every
# *_test.* file, tests/ and the fuzz targets, against lib/, include/, shell/
# and tools/ without their tests (tracked files only).
set -euo pipefail
cd "$(dirname "$0")/.."
count() { if [ $# -gt 0 ]; then cat "$@" | wc -l; else echo 0; fi; }
mapfile -t tests < <(git ls-files | grep -E '(_test\.[a-z]+$|^tests/|^fuzz/.*\.(cc|h)$)')
mapfile -t product < <(git ls-files lib include shell tools | grep -vE '_test\.[a-z]+$')
t=$(count "${tests[@]}")
p=$(count "${product[@]}")
echo "tests $t lines, product $p lines: $(awk -v t="$t" -v p="$p" 'BEGIN { printf "%.2f", t / p }')"
