#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing:
# the Linux build, and the Windows cross-build with Wine to test it (32-bit packages need the
# i386 architecture, added here when missing).
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format git
  googletest libgtest-dev libgmock-dev
  libboost-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev
  python3
  clang-14 libclang-rt-14-dev valgrind
  g++-mingw-w64-i686 mingw-w64-i686-dev
  wine wine64 wine32:i386 fonts-wine xvfb xauth imagemagick zip
)
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture (for wine32)"
  $sudo dpkg --add-architecture i386
fi

updated=""
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]} == 0)) && return 0
  echo "Installing: ${missing[*]}"
  if [[ -z $updated ]]; then
    $sudo apt-get update -qq
    updated=1
  fi
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing "${packages[@]}"
# A kernel without 32-bit support runs 32-bit Wine under user-mode QEMU (scripts/test-windows.sh).
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  install_missing qemu-user
fi
