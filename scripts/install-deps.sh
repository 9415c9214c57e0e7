#!/usr/bin/env bash
# Installs the Debian packages a task needs, only when some are missing.
#
#   scripts/install-deps.sh [all]   everything: the Linux build and its tests, the packaging
#                                   (man pages, lintian, NSIS) and the Windows cross-build with
#                                   Wine to test it (32-bit packages need the i386 architecture,
#                                   added here when missing)
#   scripts/install-deps.sh demo    what the demo builds: unit-loader-cli and unit-sim, no Qt
#   scripts/install-deps.sh window  the demo with the Qt window
set -euo pipefail

profile=${1:-all}
demo=(build-essential cmake libboost-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev libssl-dev
  libtomlplusplus-dev)
# The window also needs a platform plugin to open on a display.
window=("${demo[@]}" qt6-base-dev qt6-qpa-plugins qt6-charts-dev libqt6opengl6-dev)
case $profile in
  demo) packages=("${demo[@]}") ;;
  window) packages=("${window[@]}") ;;
  all)
    packages=(
      "${window[@]}" pkg-config clang-format git
      googletest libgtest-dev libgmock-dev
      python3
      libpqxx-dev postgresql-15
      clang-14 libclang-rt-14-dev valgrind
      help2man lintian
      g++-mingw-w64-i686 mingw-w64-i686-dev nsis
      wine wine64 wine32:i386 fonts-wine xvfb xauth imagemagick zip
    )
    ;;
  *)
    echo "install-deps.sh: unknown profile $profile (all, demo or window)" >&2
    exit 2
    ;;
esac
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

if [[ $profile == all ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
if [[ $profile == all ]] && ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  install_missing qemu-user
fi
