#!/usr/bin/env bash
# Installs the Debian packages a task needs, only when some are missing.
#
#   scripts/install-deps.sh [all]   the Linux build and its tests, and the packaging (man pages,
#                                   lintian); not the Windows stage (below)
#   scripts/install-deps.sh demo    what the demo builds: unit-loader-cli and unit-sim, no Qt
#   scripts/install-deps.sh window  the demo with the Qt window
#   scripts/install-deps.sh windows the Windows stage: the MinGW cross-compiler, NSIS, and Wine
#                                   with its 32-bit half (adds the i386 architecture when
#                                   missing)
#
# The package registry has bad days: `apt-get update` is tried 3 times, and indexes that still
# fail are a warning, not the end (what is needed may well be installable without them). The
# script fails only when a needed package cannot be installed, naming it with apt's reason.
# Exit 3 (windows profile only): 32-bit Wine cannot be installed because of the registry (unmet
# dependencies); the last line of stderr then gives apt's reason. test-all.sh skips the Windows
# stage on it, and only on it.
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
      libpqxx-dev postgresql-15 openssl
      clang-14 libclang-rt-14-dev valgrind
      help2man lintian
      xvfb xauth imagemagick zip
    )
    ;;
  windows) packages=(g++-mingw-w64-i686 mingw-w64-i686-dev nsis zip xvfb xauth imagemagick) ;;
  *)
    echo "install-deps.sh: unknown profile $profile (all, demo, window or windows)" >&2
    exit 2
    ;;
esac
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

updated=""
apt_update() {
  [[ -n $updated ]] && return 0
  updated=1
  local try
  for try in 1 2 3; do
    if $sudo apt-get update -qq >"$log" 2>&1 && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      return 0
    fi
    ((try < 3)) && { echo "install-deps.sh: apt-get update failed (try $try of 3), trying again in 10 s" >&2; sleep 10; }
  done
  echo "install-deps.sh: warning: the package lists are incomplete; going on with what was fetched:" >&2
  grep -E '^(E|W|Err):' "$log" | sed 's/^/  /' >&2 || sed 's/^/  /' "$log" >&2
}

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# install PKG... : installs those missing; on failure tells which package could not be installed
# and apt's reason, and returns 1 (the caller decides whether that ends the script).
failed_reason=""  # apt's reason for the last package that could not be installed
install_missing() {
  local missing
  mapfile -t missing < <(missing_of "$@")
  ((${#missing[@]} == 0)) && return 0
  echo "Installing: ${missing[*]}"
  apt_update
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 && return 0
  # One at a time, to name the package that cannot be installed.
  local p bad=()
  failed_reason=""
  for p in "${missing[@]}"; do
    if ! $sudo apt-get install -y -q --no-install-recommends "$p" >"$log" 2>&1; then
      bad+=("$p")
      local reason
      # apt's error, and the first unmet dependency it names.
      reason=$( (grep -m1 -E '^ *[^ ]+ : Depends:' "$log"; grep -E '^E:' "$log") | sed 's/^ *//; s/  */ /g' |
        paste -sd ' ' -)
      [[ -n $reason ]] || reason=$(tail -n 3 "$log" | paste -sd ' ' -)
      echo "install-deps.sh: cannot install $p: $reason" >&2
      failed_reason=$reason
    fi
  done
  ((${#bad[@]} == 0))
}

if [[ $profile == windows ]]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture (for wine32)"
    $sudo dpkg --add-architecture i386
    updated=""
  fi
  install_missing "${packages[@]}" || exit 1
  # A kernel without 32-bit support runs 32-bit Wine under user-mode QEMU (scripts/test-windows.sh).
  if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    install_missing qemu-user || exit 1
  fi
  install_missing wine wine64 fonts-wine || exit 1
  if ! install_missing wine32:i386; then
    if grep -qE 'unmet dependencies|generated breaks|broken packages' "$log"; then
      echo "wine32:i386 cannot be installed: $failed_reason" >&2
      exit 3
    fi
    exit 1
  fi
  exit 0
fi

install_missing "${packages[@]}" || exit 1
