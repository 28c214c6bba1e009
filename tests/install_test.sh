#!/usr/bin/env bash
# Installs a build into a scratch prefix and uses it as another project would:
# a C program built through pkg-config (nk.pc) against libnk.so, and a CMake
# project that finds the package nk and links nk::nk and nk::nk_static. Every
# program runs and must print what the library computed.
#   install_test.sh --build DIR --cc CC --generator GEN --make PROGRAM
#                   [--emulator CMD --sysroot DIR --toolchain FILE]
# In a cross build the tree is installed with DESTDIR into a scratch root that
# shows the target's sysroot under /usr, as on the device, so that pkg-config
# and the compiler see the target's Lua next to nk; the programs run through
# the emulator.
set -euo pipefail
emulator="" sysroot="" toolchain=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2 ;;
    --cc) cc=$2 ;;
    --generator) generator=$2 ;;
    --make) make=$2 ;;
    --emulator) emulator=$2 ;;
    --sysroot) sysroot=$2 ;;
    --toolchain) toolchain=$2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/nk-install.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

triplet=$("$cc" -dumpmachine)
if [ -n "$sysroot" ]; then
  root=$tmp/root
  mkdir -p "$root"
  ln -s "$sysroot/usr" "$root/usr"
  prefix=/opt/nk
  DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
  top=$root$prefix
else
  prefix=$tmp/prefix
  cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"
  top=$prefix
fi

# What the prefix holds.
for p in nksh nkbus nkrun; do
  [ -x "$top/bin/$p" ] || fail "bin/$p not installed"
done
for page in nksh nkbus nkrun; do
  gzip -t "$top/share/man/man1/$page.1.gz" || fail "share/man/man1/$page.1.gz"
done
pc=$(find "$top" -name nk.pc)
[ -n "$pc" ] || fail "nk.pc not installed"
libdir=$(dirname "$(dirname "$pc")")
[ -f "$libdir/libnk.a" ] || fail "libnk.a not installed"
soname=$(readelf -d "$libdir/libnk.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = libnk.so.0 ] || fail "SONAME of libnk.so is '$soname'"
[ -f "$libdir/$soname" ] || fail "$soname not installed"
srcdir=$(cd "$(dirname "$0")/.." && pwd)
nheaders=$(find "$srcdir/include" -maxdepth 1 -name '*.h' | wc -l)
[ "$(find "$top/include/nk" -name '*.h' | wc -l)" = "$nheaders" ] ||
  fail "include/nk does not hold the $nheaders public headers"
grep -q "^prefix=$prefix\$" "$pc" || fail "nk.pc does not name the prefix $prefix"

# Runs a program built for the target, finding nk and the target's libraries.
run() {
  if [ -n "$emulator" ]; then
    $emulator -E "LD_LIBRARY_PATH=$libdir:$sysroot/usr/lib/$triplet" "$@"
  else
    LD_LIBRARY_PATH=$libdir "$@"
  fi
}

# The installed programs run (with their search paths of the build removed).
for p in nksh nkbus nkrun; do
  run "$top/bin/$p" -? | grep "^Usage:" >/dev/null || fail "installed $p -? printed no usage"
done

# The program includes every installed header, as installed.
{
  echo "#define _POSIX_C_SOURCE 200809L"
  for h in "$top"/include/nk/*.h; do echo "#include \"$(basename "$h")\""; done
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
expected="nk 2+3=5 ok (11)"

# ---- pkg-config --------------------------------------------------------------
if [ -n "$sysroot" ]; then
  export PKG_CONFIG_SYSROOT_DIR=$root
  export PKG_CONFIG_LIBDIR=$libdir/pkgconfig:$root/usr/lib/$triplet/pkgconfig
  extra=(-isystem "$sysroot/usr/include/$triplet" "-Wl,-rpath-link,$sysroot/usr/lib/$triplet")
else
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  extra=()
fi
flags=$(pkg-config --cflags --libs nk) || fail "pkg-config --cflags --libs nk"
echo "pkg-config nk: $flags"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -Werror -pedantic-errors "$tmp/use_nk.c" -o "$tmp/use_nk_pc" \
  $flags "${extra[@]}" || fail "compiling against nk.pc"
readelf -d "$tmp/use_nk_pc" | grep 'NEEDED.*\[libnk\.so\.0\]' >/dev/null || fail "use_nk_pc does not need libnk.so.0"
out=$(run "$tmp/use_nk_pc") || fail "use_nk_pc exited with $?"
[ "$out" = "$expected" ] || fail "use_nk_pc printed '$out'"
echo "pkg-config: $out"

# ---- find_package(nk) --------------------------------------------------------
mkdir -p "$tmp/cmake-src"
cp "$tmp/use_nk.c" "$tmp/cmake-src/use_nk.c"
cat >"$tmp/cmake-src/CMakeLists.txt" <<'EOF'
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
args=(-G "$generator" -DCMAKE_MAKE_PROGRAM="$make")
if [ -n "$sysroot" ]; then
  # The toolchain searches packages only under the sysroot: name the folder.
  args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain" -DNK_ARM_SYSROOT="$sysroot"
    -Dnk_DIR="$libdir/cmake/nk")
else
  args+=(-DCMAKE_PREFIX_PATH="$prefix")
fi
(
  unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR PKG_CONFIG_PATH
  cmake -S "$tmp/cmake-src" -B "$tmp/cmake-build" "${args[@]}" >"$tmp/cmake.log" 2>&1 &&
    cmake --build "$tmp/cmake-build" >>"$tmp/cmake.log" 2>&1
) || { cat "$tmp/cmake.log"; fail "the CMake project using nk"; }
readelf -d "$tmp/cmake-build/use_nk_shared" | grep 'NEEDED.*\[libnk\.so\.0\]' >/dev/null ||
  fail "use_nk_shared does not need libnk.so.0"
if readelf -d "$tmp/cmake-build/use_nk_static" | grep 'NEEDED.*libnk' >/dev/null; then
  fail "use_nk_static needs libnk.so"
fi
for kind in shared static; do
  out=$(run "$tmp/cmake-build/use_nk_$kind") || fail "use_nk_$kind exited with $?"
  [ "$out" = "$expected" ] || fail "use_nk_$kind printed '$out'"
  echo "find_package, use_nk_$kind: $out"
done
echo "install test passed ($triplet)"
