#!/usr/bin/env bash
# Installs what building and testing need on a Debian machine, as root; does
# nothing for what is already there.
#   scripts/install-deps.sh          the native build (compiler, cmake, Lua, libedit)
#   scripts/install-deps.sh --all    also tests, benchmarks and the armhf build
set -euo pipefail

want=(g++ cmake ninja-build pkg-config liblua5.2-dev libedit-dev binutils)
if [ "${1:-}" = "--all" ]; then
  want+=(libgtest-dev libbenchmark-dev clang-format clang libclang-rt-14-dev g++-arm-linux-gnueabihf qemu-user file mosquitto libmosquitto-dev redis-server systemd)
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # One index of a mirror that fails (a security index caught mid-update, say)
  # does not stop us while the packages can still be had from the others.
  apt-get update -q || echo "install-deps: some package indexes did not update; going on"
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    echo "install-deps: cannot install ${missing[*]}: see apt's messages above" >&2
    exit 1
  fi
fi
