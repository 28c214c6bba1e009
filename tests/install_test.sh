#!/usr/bin/env bash
# Installs a build into a scratch prefix and uses it as another project would:
# a C program including every installed header, built through pkg-config and
# by a CMake project (nk::nk, nk::nk_static), must run and print what the
# library computed. A cross build installs with DESTDIR into a root showing the
# sysroot under /usr, and runs programs through the emulator.
#   install_test.sh --build DIR --cc CC --generator GEN --make PROGRAM
#                   [--emulator CMD --sysroot DIR --toolchain FILE]
set -euo pipefail
emulator="" sysroot="" toolchain=""
while [ $# -gt 0 ]; do declare "${1#--}=$2" && shift 2; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/nk-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" && exit 1; }

triplet=$("$cc" -dumpmachine)
prefix=$tmp/prefix top=$tmp/prefix
if [ -n "$sysroot" ]; then
  root=$tmp/root prefix=/opt/nk top=$tmp/root/opt/nk
  mkdir -p "$root" && ln -s "$sysroot/usr" "$root/usr"
fi
DESTDIR=${root:-} cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
pc=$(find "$top" -name nk.pc)
libdir=$(dirname "$(dirname "${pc:?nk.pc not installed}")")
grep -q "^prefix=$prefix\$" "$pc" || fail "nk.pc does not name the prefix $prefix"
headers=$(cd "$(dirname "$0")/../include" && ls ./*.h)
[ "$(cd "$top/include/nk" && ls ./*.h)" = "$headers" ] || fail "include/nk lacks public headers"

# Runs a program built for the target, finding nk and the target's libraries.
run() {
  # shellcheck disable=SC2086 # the emulator's words
  [ -z "$emulator" ] || set -- $emulator -E "LD_LIBRARY_PATH=$libdir:$sysroot/usr/lib/$triplet" "$@"
  LD_LIBRARY_PATH=$libdir "$@"
}
for p in nksh nkbus nkrun; do  # without the build's search paths
  run "$top/bin/$p" -? | grep -q "^Usage:" || fail "installed $p -? printed no usage"
done

{
  echo "#define _POSIX_C_SOURCE 200809L"
  for h in $headers; do echo "#include \"${h#./}\""; done
  cat <<'EOF'
#include <stdio.h>
int main(void) {
  memInit();
  int s = stringAlloc(0);
  stringPrintf(s, "%s %d+%d=%d", "nk", 2, 3, 2 + 3);
  printf("%s (%d)\n", (char *)memGetData(s), stringLen(s));
  return 0;
}
EOF
} >"$tmp/use_nk.c"
# check PROGRAM NEEDS: it runs and prints the expected line, and needs libnk.so or not.
check() {
  out=$(run "$1") || fail "$1 exited with $?"
  [ "$out" = "nk 2+3=5 (8)" ] || fail "$1 printed '$out'"
  [ "$(readelf -d "$1" | grep -c 'NEEDED.*\[libnk\.so\.0\]')" = "$2" ] || fail "$1: libnk.so needed is not $2"
}

pcenv=(PKG_CONFIG_PATH="$libdir/pkgconfig") extra=()
if [ -n "$sysroot" ]; then
  pcenv+=(PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$libdir/pkgconfig:$root/usr/lib/$triplet/pkgconfig")
  extra=(-isystem "$sysroot/usr/include/$triplet" "-Wl,-rpath-link,$sysroot/usr/lib/$triplet")
fi
flags=$(env "${pcenv[@]}" pkg-config --cflags --libs nk) || fail "pkg-config --cflags --libs nk"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic-errors "$tmp/use_nk.c" -o "$tmp/use_nk_pc" $flags \
  "${extra[@]}" || fail "compiling against nk.pc ($flags)"
check "$tmp/use_nk_pc" 1

mkdir -p "$tmp/src" && cp "$tmp/use_nk.c" "$tmp/src/"
cat >"$tmp/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.18)
project(use_nk C CXX)
find_package(nk 0.1 REQUIRED)
foreach(lib nk nk_static)
  add_executable(use_${lib} use_nk.c)
  set_target_properties(use_${lib} PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
  target_compile_options(use_${lib} PRIVATE -Wall -Wextra -Werror -pedantic-errors)
  target_link_libraries(use_${lib} PRIVATE nk::${lib})
endforeach()
EOF
args=(-G "$generator" -DCMAKE_MAKE_PROGRAM="$make" -DCMAKE_PREFIX_PATH="$prefix")
# The cross toolchain searches packages only under the sysroot: name the folder.
[ -z "$sysroot" ] || args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNK_ARM_SYSROOT="$sysroot" -Dnk_DIR="$libdir/cmake/nk")
{ cmake -S "$tmp/src" -B "$tmp/b" "${args[@]}" && cmake --build "$tmp/b"; } >"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log" && fail "the CMake project using nk"; }
check "$tmp/b/use_nk" 1
check "$tmp/b/use_nk_static" 0
echo "install test passed ($triplet)"
