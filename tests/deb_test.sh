#!/usr/bin/env bash
# Builds the Debian packages of a build with cpack and checks each one: its
# control fields, the architecture of the code inside, its files, and its
# Depends: every shared library that a packaged program or library needs comes
# from a package it depends on, and no optional one that nothing in it needs.
# The device's packages also: their units, conffiles and maintainer scripts;
# then they are unpacked into a scratch root and the bus and the runtime are
# started as their units say (user, environment, command line; paths and the
# configuration's values moved under the root), and nksh must answer on them.
# The packages stay in DIR/packages.
#   deb_test.sh --build DIR --version VERSION --fleet 0|1 [--emulator CMD]
set -euo pipefail
emulator=""
while [ $# -gt 0 ]; do declare "${1#--}=$2" && shift 2; done
tmp=$(mktemp -d "${TMPDIR:-/tmp}/nk-deb.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAILED: $*" && exit 1; }
debs=$build/packages  # kept: the packages a device installs
rm -rf "$debs"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$debs" >"$tmp/cpack.log" 2>&1 ||
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

arch=$(dpkg-deb -f "$(ls "$debs"/nksh_*.deb)" Architecture) || fail "no nksh package"
x=$tmp/x  # each package unpacked into a folder of its name
mkdir "$x"
packages="nksh orvalin-runtime libnk0 libnk-dev"
[ "$fleet" = 0 ] || packages+=" orvalin-bridge orvalin-fleet"
for name in $packages; do
  deb=$debs/${name}_${version}_${arch}.deb
  [ -f "$deb" ] || fail "no $(basename "$deb") among: $(cd "$debs" && ls ./*.deb)"
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

# The programs, manual pages, units and conffiles of each package; nksh holds
# nothing else.
declare -A bin=([nksh]=nksh [orvalin-runtime]="nkbus nkrun" [orvalin-bridge]=nkbridge [orvalin-fleet]=nkfleet)
declare -A man=([nksh]=nksh [orvalin-runtime]="nkbus nkrun")
declare -A units=([orvalin-runtime]="nkbus.service nkrun.service" [orvalin-bridge]=nkbridge.service)
declare -A conf=([orvalin-runtime]="/etc/default/nkrun /etc/orvalin/orvalin.conf /etc/orvalin/scripts/hello.lua")
verify=$(command -v systemd-analyze || true)
[ -n "$verify" ] || echo "deb test: no systemd-analyze (package systemd), units not verified"
for name in ${!bin[*]}; do
  [[ " $packages " == *" $name "* ]] || continue
  p=$x/$name deb=$debs/${name}_${version}_${arch}.deb
  [ "$(cd "$p/usr/bin" && echo *)" = "${bin[$name]}" ] || fail "$name: usr/bin does not hold ${bin[$name]}"
  for page in ${man[$name]:-}; do
    zcat "$p/usr/share/man/man1/$page.1.gz" | grep -q "^\.TH ${page^^} 1" || fail "$name: no manual page $page(1)"
  done
  [ "$(cd "$p/usr/lib/systemd/system" 2>/dev/null && echo *)" = "${units[$name]:-}" ] || fail "$name: units"
  [ "$(cd "$p" && find etc -type f 2>/dev/null | sed 's|^|/|' | sort | xargs)" = "${conf[$name]:-}" ] ||
    fail "$name: files of /etc"
  [ "$(dpkg-deb -I "$deb" conffiles 2>/dev/null | sort | xargs)" = "${conf[$name]:-}" ] || fail "$name: conffiles"
  for script in postinst prerm postrm; do
    [ -n "${units[$name]:-}" ] || continue
    dpkg-deb -I "$deb" $script >"$tmp/$script" && sh -n "$tmp/$script" || fail "$name: $script"
    grep -qE "^ .* \* +$script " <<<"$(dpkg-deb -I "$deb")" || fail "$name: $script not executable"
  done
  for unit in ${units[$name]:-}; do
    grep -qx "User=orvalin" "$p/usr/lib/systemd/system/$unit" || fail "$unit: not run as orvalin"
    # It prints what it finds wrong but exits with 0. The programs' paths are
    # moved to the unpacked ones, as it checks that they are there.
    mkdir -p "$tmp/units" && sed "s|=/usr/bin/|=$p/usr/bin/|" "$p/usr/lib/systemd/system/$unit" >"$tmp/units/$unit"
    out=""
    [ -z "$verify" ] || out=$("$verify" verify --man=no "$tmp/units/$unit" 2>&1)
    [ -z "$out" ] || fail "systemd-analyze verify $unit: $out"
  done
done
others=$(cd "$x/nksh" && find . -type f ! -path './usr/bin/*' ! -path './usr/share/man/man1/*')
[ -z "$others" ] || fail "nksh: also holds $others"
dpkg-deb -I "$debs/orvalin-runtime_${version}_${arch}.deb" postinst | grep -q "adduser .*--system.* orvalin" ||
  fail "orvalin-runtime: postinst makes no user orvalin"

# libnk0: the library under its SONAME, registered for ldconfig.
lib=$(cd "$x/libnk0" && find . -name 'libnk.so.*' -type f)
libdir=$(dirname "$lib")
[ "$(basename "$lib")" = "libnk.so.$version" ] || fail "libnk0: holds '$lib'"
[ "$(readlink "$x/libnk0/$libdir/libnk.so.0")" = "libnk.so.$version" ] || fail "libnk0: no libnk.so.0"
readelf -d "$x/libnk0/$lib" | grep -q '(SONAME).*\[libnk\.so\.0\]' || fail "libnk0: SONAME"
deb=$debs/libnk0_${version}_${arch}.deb
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
dpkg-deb -f "$debs/libnk-dev_${version}_${arch}.deb" Depends | grep -q "libnk0 (= $version)" ||
  fail "libnk-dev: does not depend on libnk0 (= $version)"

# ---- the device: the packages unpacked into a scratch root ----------------------
root=$tmp/root
for name in nksh orvalin-runtime orvalin-bridge; do
  [ ! -f "$debs/${name}_${version}_${arch}.deb" ] || dpkg-deb -x "$debs/${name}_${version}_${arch}.deb" "$root"
done
sed -i "s|=/|=$root/|" "$root/etc/orvalin/orvalin.conf"  # scriptDir
uid=$(($(id -u) == 0 ? 4242 : $(id -u)))  # as root, the services run as a user of no account
chmod 755 "$tmp" && mkdir -p "$root/var/lib/orvalin" && chown "$uid" "$root/var/lib/orvalin"
# unit_run UNIT KEY: execs the unit's command KEY (ExecStart, ExecCondition) as
# systemd would: a clean environment with the unit's Environment and
# EnvironmentFile, its user (uid) and WorkingDirectory. Paths of the root's
# files are moved under it; $NAME stands for the words of the variable.
unit_run() {
  local file=$root/usr/lib/systemd/system/$1 env=(PATH=/usr/bin:/bin) cmd=() word words e value line as=()
  local -
  set -f  # words split at blanks, never globbed
  for word in $(sed -n 's/^Environment=//p' "$file"); do env+=("$word"); done
  e=$root$(sed -n 's/^EnvironmentFile=-\?//p' "$file")
  while IFS= read -r line; do [[ ! $line =~ ^[A-Z_]+= ]] || env+=("$line"); done < <(cat "$e" 2>/dev/null)
  for word in $(sed -n "s/^$2=//p" "$file"); do
    if [[ $word == \$* ]]; then  # the words of the variable's last value
      value=""
      for e in "${env[@]}"; do [[ $e != "${word#\$}="* ]] || value=${e#*=}; done
      read -ra words <<<"$value" && cmd+=("${words[@]}")
    elif [[ $word == /* && -e $root$word ]]; then cmd+=("$root$word"); else cmd+=("$word"); fi
  done
  [[ ${cmd[0]} != "$root"/* ]] || read -ra cmd <<<"$emulator ${cmd[*]}"
  [ "$(id -u)" != 0 ] || as=(setpriv --reuid="$uid" --regid="$uid" --clear-groups)
  cd "$root$(sed -n 's/^WorkingDirectory=//p' "$file")" && exec env -i "${env[@]}" "${as[@]}" "${cmd[@]}"
}
unit_run nkbus.service ExecStart >"$tmp/nkbus.log" 2>&1 &
bus=$!
unit_run nkrun.service ExecStart >"$tmp/nkrun.log" 2>&1 &
run=$!
trap 'kill $bus $run 2>/dev/null || true; rm -rf "$tmp"' EXIT
# shellcheck disable=SC2086 # the emulator's words
nk() { env -i PATH=/usr/bin:/bin $emulator "$root/usr/bin/nksh" -c "$@" 2>&1; }
for _ in $(seq 150); do
  out=$(nk ps) && [[ $out == *hello* ]] && break
  sleep 0.2
done
[[ $out == *hello* ]] || fail "nksh -c ps on the unpacked services: $out; $(cat "$tmp"/nk*.log)"
for pid in $bus $run; do [ "$(stat -c %u "/proc/$pid")" = "$uid" ] || fail "a service is not run as $uid"; done
out=$(nk set deb.test 42; nk get deb.test; nk get device.minutes)
[ "$(echo "$out" | tail -2 | xargs)" = "deb.test=42 device.minutes=0" ] || fail "set and get on the unpacked services: $out"
kill -TERM "$run" "$bus"
for pid in $run $bus; do  # within the units' TimeoutStopSec=5, with status 0
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  ! kill -0 "$pid" 2>/dev/null && wait "$pid" || fail "a service did not end with 0 within 5 s of SIGTERM"
done
if [ "$fleet" = 1 ]; then  # the bridge starts once orvalin.conf names a broker
  ! (unit_run nkbridge.service ExecCondition) || fail "nkbridge.service: starts without brokerHost"
  echo "brokerHost=127.0.0.1" >>"$root/etc/orvalin/orvalin.conf"
  (unit_run nkbridge.service ExecCondition) || fail "nkbridge.service: does not start with brokerHost"
fi
echo "deb test passed: $packages $version $arch; the bus and the runtime answered as their units run them"
