#!/usr/bin/env bash
# Unpacks Debian's armhf Lua, GoogleTest and MQTT client packages into a sysroot folder for
# the cross build: scripts/armhf-sysroot.sh <folder>. Installing them as
# foreign-architecture packages conflicts on this Debian, so they are only
# downloaded and unpacked; the C library comes with the cross compiler.
set -euo pipefail
root=$(realpath -m "$1")
pkgs=(liblua5.2-dev liblua5.2-0 libgtest-dev libmosquitto-dev libmosquitto1 libssl3)
stamp="$root/.unpacked"
# The stamp names the packages unpacked: a changed list unpacks again.
[ -f "$stamp" ] && [ "$(cat "$stamp")" = "${pkgs[*]}" ] && exit 0
rm -rf "$root/debs" "$root/sysroot"

if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
  apt-get update -q
fi
mkdir -p "$root/debs" "$root/sysroot"
cd "$root/debs"
# apt drops privileges to _apt for downloads; the folder must be writable.
chmod 777 "$root/debs"
if ! apt-get download "${pkgs[@]/%/:armhf}"; then
  apt-get update -q
  apt-get download "${pkgs[@]/%/:armhf}"
fi
for deb in *.deb; do dpkg -x "$deb" "$root/sysroot"; done
echo "${pkgs[*]}" >"$stamp"
