#!/usr/bin/env bash
# Installs a build into a scratch prefix and uses it as another project would:
# a C program built through pkg-config against libnk.so, and a CMake project
# that finds the package nk and links nk::nk and nk::nk_static; each must run
# and print what the library computed. In a cross build the tree goes with
# DESTDIR into a scratch root that shows the target's sysroot under /usr, as on
# the device, and the programs run through the emulator.
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

for p in nksh nkbus nkrun; do
  [ -x "$top/bin/$p" ] || fail "bin/$p not installed"
  gzip -t "$top/share/man/man1/$p.1.gz" || fail "share/man/man1/$p.1.gz"
done
pc=$(find "$top" -name nk.pc)
libdir=$(dirname "$(dirname "${pc:?nk.pc not installed}")")
[ -f "$libdir/libnk.a" ] || fail "libnk.a not installed"
soname=$(readelf -d "$libdir/libnk.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libnk.so.0 ] && [ -f "$libdir/$soname" ] || fail "libnk.so's SONAME is '$soname'"
headers=$(cd "$(dirname "$0")/../include" && ls ./*.h)
[ "$(cd "$top/include/nk" && ls ./*.h)" = "$headers" ] || fail "include/nk lacks public headers"
grep -q "^prefix=$prefix\$" "$pc" || fail "nk.pc does not name the prefix $prefix"

# Runs a program built for the target, finding nk and the target's libraries.
run() {
  if [ -n "$emulator" ]; then
    $emulator -E "LD_LIBRARY_PATH=$libdir:$sysroot/usr/lib/$triplet" "$@"
  else
    LD_LIBRARY_PATH=$libdir "$@"
  fi
}
for p in nksh nkbus nkrun; do  # without the build's search paths
  run "$top/bin/$p" -? | grep -q "^Usage:" || fail "installed $p -? printed no usage"
done

# A program that includes every installed header, as installed.
{
  echo "#define _POSIX_C_SOURCE 200809L"
  for h in $headers; do echo "#include \"${h#./}\""; done
  cat <<'EOF'
#include <stdio.h>
int main(void) {
  int s;
  memInit();
  s = stringAlloc(0);
  stringPrintf(s, "%s %d+%d=%d", "nk", 2, 3, 2 + 3);
  stringCats(s, " ok");
  printf("%s (%d)\n", (char *)memGetData(s), stringLen(s));
  stringFree(s);
  return 0;
}
EOF
} >"$tmp/use_nk.c"
# check PROGRAM NEEDS: it runs and prints the expected line, and needs libnk.so or not.
check() {
  out=$(run "$1") || fail "$1 exited with $?"
  [ "$out" = "nk 2+3=5 ok (11)" ] || fail "$1 printed '$out'"
  [ "$(readelf -d "$1" | grep -c 'NEEDED.*\[libnk\.so\.0\]')" = "$2" ] || fail "$1: libnk.so needed is not $2"
  echo "$(basename "$1"): $out"
}

export PKG_CONFIG_PATH=$libdir/pkgconfig extra=()
if [ -n "$sysroot" ]; then
  export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$libdir/pkgconfig:$root/usr/lib/$triplet/pkgconfig
  extra=(-isystem "$sysroot/usr/include/$triplet" "-Wl,-rpath-link,$sysroot/usr/lib/$triplet")
fi
flags=$(pkg-config --cflags --libs nk) || fail "pkg-config --cflags --libs nk"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic-errors "$tmp/use_nk.c" -o "$tmp/use_nk_pc" $flags \
  "${extra[@]}" || fail "compiling against nk.pc ($flags)"
check "$tmp/use_nk_pc" 1

mkdir -p "$tmp/src" && cp "$tmp/use_nk.c" "$tmp/src/"
cat >"$tmp/src/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.18)
project(use_nk C CXX)
find_package(nk 0.1 REQUIRED)
foreach(kind shared static)
  add_executable(use_nk_${kind} use_nk.c)
  set_target_properties(use_nk_${kind} PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
  target_compile_options(use_nk_${kind} PRIVATE -Wall -Wextra -Werror -pedantic-errors)
endforeach()
target_link_libraries(use_nk_shared PRIVATE nk::nk)
target_link_libraries(use_nk_static PRIVATE nk::nk_static)
EOF
args=(-G "$generator" -DCMAKE_MAKE_PROGRAM="$make" -DCMAKE_PREFIX_PATH="$prefix")
# The cross toolchain searches packages only under the sysroot: name the folder.
[ -z "$sysroot" ] || args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNK_ARM_SYSROOT="$sysroot" -Dnk_DIR="$libdir/cmake/nk")
(
  unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR PKG_CONFIG_PATH
  cmake -S "$tmp/src" -B "$tmp/b" "${args[@]}" && cmake --build "$tmp/b"
) >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log" && fail "the CMake project using nk"; }
check "$tmp/b/use_nk_shared" 1
check "$tmp/b/use_nk_static" 0
echo "install test passed ($triplet)"
