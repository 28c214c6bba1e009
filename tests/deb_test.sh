#!/usr/bin/env bash
# Builds the Debian packages of a build with cpack and checks each one: its
# control fields, the architecture of the code inside, its files, and its
# Depends: every shared library that a packaged program or library needs comes
# from a package it depends on, and no optional one that nothing in it needs.
#   deb_test.sh --build DIR --version VERSION --fleet 0|1
set -euo pipefail
while [ $# -gt 0 ]; do declare "${1#--}=$2" && shift 2; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/nk-deb.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" && exit 1; }
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log" && fail "cpack"; }

# The Debian package that ships a shared library, by its SONAME: the C library's
# own, or the policy's name (libfoo.so.1 in libfoo1, libfoo5.2.so.0 in libfoo5.2-0).
package_of() {
  case "$1" in libc.so.* | libm.so.* | libpthread.so.* | libdl.so.* | ld-linux*) echo libc6 && return ;; esac
  local name=${1%.so.*}
  name=${name//_/-}
  [[ $name != *[0-9] ]] || name+=-
  echo "$name${1##*.so.}"
}
# The Debian architecture of an ELF file (armhf: float arguments in VFP registers).
arch_of() {
  case "$(readelf -h "$1") $(readelf -A "$1")" in
    *"Machine:"*"X86-64"*) echo amd64 ;;
    *"Machine:"*" ARM"*"Tag_ABI_VFP_args: VFP registers"*) echo armhf ;;
    *) echo other ;;
  esac
}

arch=$(dpkg-deb -f "$(ls "$tmp"/out/nksh_*.deb)" Architecture) || fail "no nksh package"
x=$tmp/out  # each package unpacked into a folder of its name
for name in nksh libnk0 libnk-dev; do
  deb=$tmp/out/${name}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "no $(basename "$deb") among: $(cd "$tmp/out" && ls ./*.deb)"
  for field in Package=$name Version=$version Architecture=$arch Maintainer Description Section; do
    value=$(dpkg-deb -f "$deb" "${field%%=*}")
    [ -n "$value" ] && [[ $field != *=* || $value = "${field#*=}" ]] || fail "$name: ${field%%=*} field"
  done
  [ "$(dpkg-deb -c "$deb" | awk '{print $2}' | sort -u)" = root/root ] || fail "$name: files not owned by root"
  dpkg-deb -x "$deb" "$x/$name"
  declare -A deps=() needed=()
  for d in $(dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/ /g'); do deps[$d]=1; done
  while IFS= read -r f; do
    readelf -h "$f" >/dev/null 2>&1 || continue
    what=${f#"$x/$name"}
    [ "$(arch_of "$f")" = "$arch" ] || fail "$name: $what is $(arch_of "$f") code"
    # Stripped (a static library keeps its debugging sections, for the programs
    # linked with it), and without the build machine's library search paths.
    [[ "$f" == *.a ]] || ! readelf -S "$f" | grep -q '\.debug_info' || fail "$name: $what is not stripped"
    ! readelf -d "$f" | grep -qE '\((RPATH|RUNPATH)\)' || fail "$name: $what keeps a library search path"
    for lib in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      pkg=$(package_of "$lib")
      [ -n "${deps[$pkg]:-}" ] || fail "$name: $what needs $lib ($pkg), not in Depends"
      needed[$pkg]=1
    done
  done < <(find "$x/$name" -type f)
  for pkg in liblua5.2-0 libedit2 libmosquitto1; do
    [ -z "${deps[$pkg]:-}" ] || [ -n "${needed[$pkg]:-}" ] || fail "$name: depends on $pkg, which nothing in it needs"
  done
done

# nksh: the programs and their manual pages, nothing else.
programs="nkbus nkrun nksh"
[ "$fleet" = 0 ] || programs="nkbridge nkbus nkfleet nkrun nksh"
[ "$(cd "$x/nksh/usr/bin" && echo *)" = "$programs" ] || fail "nksh: usr/bin does not hold $programs"
for page in nksh nkbus nkrun; do
  zcat "$x/nksh/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1" || fail "nksh: no manual page $page(1)"
done
others=$(cd "$x/nksh" && find . -type f ! -path './usr/bin/*' ! -path './usr/share/man/man1/*')
[ -z "$others" ] || fail "nksh: also holds $others"

# libnk0: the library under its SONAME, registered for ldconfig.
lib=$(cd "$x/libnk0" && find . -name 'libnk.so.*' -type f)
libdir=$(dirname "$lib")
[ "$(basename "$lib")" = "libnk.so.$version" ] || fail "libnk0: holds '$lib'"
[ "$(readlink "$x/libnk0/$libdir/libnk.so.0")" = "libnk.so.$version" ] || fail "libnk0: no libnk.so.0"
readelf -d "$x/libnk0/$lib" | grep -q '(SONAME).*\[libnk\.so\.0\]' || fail "libnk0: SONAME"
deb=$tmp/out/libnk0_${version}_${arch}.deb
dpkg-deb -I "$deb" shlibs | grep -qx "libnk 0 libnk0 (>= $version)" || fail "libnk0: shlibs file"
dpkg-deb -I "$deb" postinst | grep -q ldconfig || fail "libnk0: no ldconfig"

# libnk-dev: headers, link name, static library, nk.pc for /usr, CMake package.
dev=$x/libnk-dev
for h in "$(dirname "$0")"/../include/*.h; do
  cmp -s "$h" "$dev/usr/include/nk/$(basename "$h")" || fail "libnk-dev: include/nk/$(basename "$h")"
done
[ "$(readlink "$dev/$libdir/libnk.so")" = libnk.so.0 ] || fail "libnk-dev: no libnk.so link"
[ -f "$dev/$libdir/libnk.a" ] || fail "libnk-dev: no libnk.a"
grep -qx "prefix=/usr" "$dev/$libdir/pkgconfig/nk.pc" || fail "libnk-dev: nk.pc does not name /usr"
for f in nkConfig nkConfigVersion nkTargets; do
  [ -f "$dev/$libdir/cmake/nk/$f.cmake" ] || fail "libnk-dev: no cmake/nk/$f.cmake"
done
dpkg-deb -f "$tmp/out/libnk-dev_${version}_${arch}.deb" Depends | grep -q "libnk0 (= $version)" ||
  fail "libnk-dev: does not depend on libnk0 (= $version)"
echo "deb test passed: nksh, libnk0, libnk-dev $version $arch"
