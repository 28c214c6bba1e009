#!/usr/bin/env bash
# Unpacks Debian's armhf Lua, GoogleTest, MQTT client and line-editing
# packages into a sysroot folder for the cross build:
# scripts/armhf-sysroot.sh <folder>. Installing them as
# foreign-architecture packages conflicts on this Debian, so they are only
# downloaded and unpacked; the C library comes with the cross compiler.
set -euo pipefail
root=$(realpath -m "$1")
# libedit2 needs libbsd0 (which needs libmd0) and libtinfo6.
pkgs=(liblua5.2-dev liblua5.2-0 libgtest-dev libmosquitto-dev libmosquitto1 libssl3
  libedit-dev libedit2 libbsd0 libmd0 libtinfo6)
stamp="$root/.unpacked"
# The stamp names the packages unpacked: a changed list unpacks again.
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "${pkgs[*]}" ] && exit 0
rm -rf "$root/debs" "$root/sysroot"

# A partly failed index update (one index of a mirror broken) is tolerated:
# what matters is whether the packages can be downloaded.
update_index() {
  apt-get update -q || echo "armhf-sysroot: some package indexes did not update; going on"
}

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  update_index
fi
mkdir -p "$root/debs" "$root/sysroot"
cd "$root/debs"
# apt drops privileges to _apt for downloads; the folder must be writable.
chmod 777 "$root/debs"
if ! apt-get download "${pkgs[@]/%/:armhf}" 2>/dev/null; then
  update_index
  if ! apt-get download "${pkgs[@]/%/:armhf}"; then
    echo "armhf-sysroot: cannot download the armhf packages ${pkgs[*]}" >&2
    exit 1
  fi
fi
for deb in *.deb; do dpkg -x "$deb" "$root/sysroot"; done
# Some packages still put libraries in /lib: merge it into /usr/lib as on the
# device, so that one search path finds every library of the sysroot.
if [ -d "$root/sysroot/lib" ] && [ ! -L "$root/sysroot/lib" ]; then
  cp -a "$root/sysroot/lib/." "$root/sysroot/usr/lib/"
  rm -rf "$root/sysroot/lib"
  ln -s usr/lib "$root/sysroot/lib"
fi
echo "${pkgs[*]}" >"$stamp"
