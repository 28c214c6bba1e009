#!/usr/bin/env bash
# Runs every test: the native build with warnings as errors, AddressSanitizer
# with UndefinedBehaviorSanitizer, ThreadSanitizer, and the 32-bit ARM build
# cross-compiled and run under qemu-user. Installs what is missing first.
# The stage fuzz builds the libFuzzer targets with clang and runs each for
# NK_FUZZ_SECONDS (default 15) on a copy of its corpus.
#   scripts/test-all.sh [format|native|asan|tsan|armhf|fuzz ...]   (default: all)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=${NK_JOBS:-2}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(format native asan tsan armhf fuzz)

bash scripts/install-deps.sh --all

configure_build_test() {
  local name=$1
  shift
  local dir="build/$name"
  echo "==== $name: configure"
  cmake -S . -B "$dir" -G Ninja -DNK_WERROR=ON "$@" >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  echo "==== $name: build"
  cmake --build "$dir" -j "$jobs"
  echo "==== $name: test"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

start=$(date +%s)
for stage in "${stages[@]}"; do
  t0=$(date +%s)
  mkdir -p build
  case "$stage" in
    format)
      echo "==== format"
      git ls-files '*.h' '*.cc' '*.c' | xargs clang-format --dry-run --Werror
      ;;
    native)
      configure_build_test native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_BUILD_BENCHMARKS=ON
      ;;
    asan)
      configure_build_test asan -DCMAKE_BUILD_TYPE=Debug -DNK_SANITIZE=address,undefined
      ;;
    tsan)
      configure_build_test tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_SANITIZE=thread
      ;;
    armhf)
      bash scripts/armhf-sysroot.sh build/armhf-sysroot
      configure_build_test armhf -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake \
        -DNK_ARM_SYSROOT="$top/build/armhf-sysroot/sysroot"
      ;;
    fuzz)
      echo "==== fuzz: configure"
      cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNK_BUILD_FUZZERS=ON -DNK_BUILD_TESTS=OFF \
        -DNK_WERROR=ON >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log; exit 1; }
      echo "==== fuzz: build"
      cmake --build build/fuzz -j "$jobs" --target nk_fuzzers
      bash fuzz/run-fuzzers.sh build/fuzz "${NK_FUZZ_SECONDS:-15}"
      ;;
    *)
      echo "unknown stage $stage" >&2
      exit 2
      ;;
  esac
  echo "==== $stage: done in $(($(date +%s) - t0)) s"
done
echo "==== all stages passed in $(($(date +%s) - start)) s: ${stages[*]}"
