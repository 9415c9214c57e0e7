#!/usr/bin/env bash
# The Debian packages as a technician gets them: builds both with CPack from a Linux build
# (unit-loader-cli, the command-line programs without Qt; unit-loader, the window on top of it),
# checks them with lintian (no error, no warning) and that the command-line package depends on no
# Qt library, installs the command-line package alone with apt-get (which pulls its
# dependencies), downloads with the installed unit-loader-cli into the installed unit-sim, checks
# that nothing was written to /usr/bin and that the installed programs take their settings from
# the user's configuration directory, then installs the window package and runs it, and removes
# both again. Needs root (or sudo) for apt-get.
#
#   scripts/test-deb.sh [BUILD_DIR]    default build (configured here with -DUL_PACKAGE=ON)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
started=$(date +%s)

say() { echo "== deb: $*"; }
fail() {
  echo "test-deb.sh: $*" >&2
  exit 1
}

say "building the package from $build"
cmake -S "$root" -B "$build" -DUL_PACKAGE=ON >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
one_deb() {  # one_deb NAME: the path of the single package NAME that cpack made
  local found=("$build"/packages/"$1"_*.deb)
  [[ ${#found[@]} == 1 && -f ${found[0]} ]] || fail "cpack made no single package $1: ${found[*]}"
  echo "${found[0]}"
}
cli_deb=$(one_deb unit-loader-cli)
window_deb=$(one_deb unit-loader)
for deb in "$cli_deb" "$window_deb"; do
  say "$(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
done
# The command-line package is for machines without a desktop: no Qt, not even indirectly by name.
if dpkg-deb -f "$cli_deb" Depends Recommends | grep -qi 'qt'; then
  fail "unit-loader-cli depends on Qt: $(dpkg-deb -f "$cli_deb" Depends)"
fi
dpkg-deb -f "$window_deb" Depends | grep -qF "unit-loader-cli (= $(dpkg-deb -f "$cli_deb" Version))" ||
  fail "unit-loader does not depend on unit-loader-cli of its own version"

say "lintian"
lint_status=0
lint=$(lintian --fail-on error,warning "$cli_deb" "$window_deb" 2>&1) || lint_status=$?
# As root it says so first; the packages are only read.
grep -v "running with root privileges" <<<"$lint" || true
((lint_status == 0)) || fail "lintian found errors or warnings"

for package in unit-loader unit-loader-cli; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    fail "$package is installed already; remove it first (apt-get purge unit-loader unit-loader-cli)"
  fi
done
work=$(mktemp -d "${TMPDIR:-/tmp}/ul-deb.XXXXXX")
chmod 755 "$work"
installed=""
sim_pid=""
purge_installed() {  # apt-get purge refuses a name it does not know: only what is installed
  local package present=()
  for package in unit-loader unit-loader-cli; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" && present+=("$package")
  done
  ((${#present[@]} == 0)) || $sudo apt-get purge -y -qq "${present[@]}" >/dev/null 2>&1
}
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [[ -n $installed ]]; then purge_installed || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

apt_install() {  # apt_install DEB
  # apt-get takes a local file only by a path with a slash, and reads it as the _apt user.
  cp "$1" "$work/" && chmod 644 "$work/$(basename "$1")"
  installed=1
  $sudo apt-get install -y -qq --no-install-recommends "$work/$(basename "$1")" >"$work/apt.log" 2>&1 ||
    { cat "$work/apt.log"; fail "apt-get install $(basename "$1") failed"; }
}
check_programs() {  # check_programs PROGRAM...: in /usr/bin, with a man page, without a run path
  local program
  for program in "$@"; do
    [[ $(command -v "$program") == /usr/bin/$program ]] || fail "$program is not /usr/bin/$program"
    grep -q '^\.TH' <(zcat "/usr/share/man/man1/$program.1.gz" 2>/dev/null) || fail "no man page for $program"
    # No run path into the build tree (the library is carried inside the program), and no path of
    # the build tree that an installed program could run or read.
    if readelf -d "/usr/bin/$program" | grep -qE 'RPATH|RUNPATH'; then fail "$program has a run path"; fi
    if strings "/usr/bin/$program" | grep -F "$build/" >/dev/null; then fail "$program holds a path of the build tree"; fi
  done
}

ls -A /usr/bin >"$work/usr-bin.before"
say "apt-get install unit-loader-cli alone"
apt_install "$cli_deb"
check_programs unit-loader-cli unit-sim trace-listen
[[ ! -e /usr/bin/unit-loader ]] || fail "the command-line package installed the window"
grep -q dialout /usr/share/doc/unit-loader-cli/README.Debian || fail "README.Debian does not name the group dialout"
[[ $(unit-loader-cli --version) == "unit-loader-cli 1.21" ]] || fail "unit-loader-cli --version is wrong"

# The runs below see neither the source nor the build tree (a mount namespace with an empty
# directory over each), so a program that still looked for a file there would fail.
hide=("$root")
[[ $build == "$root"/* ]] || hide+=("$build")
export UL_HIDE="${hide[*]}"
hiding=()
hide_trees=(unshare --mount sh -c 'for d in $UL_HIDE; do mount -t tmpfs none "$d" || exit 125; done; exec "$@"' sh)
if [[ $(id -u) == 0 ]] && "${hide_trees[@]}" true 2>/dev/null; then
  hiding=("${hide_trees[@]}")
else
  say "NOTE: cannot hide the source and build trees (needs root and mount namespaces); runs see them"
fi
installed_run() {  # installed_run SECONDS PROGRAM ARGS...
  local limit=$1
  shift
  timeout "$limit" "${hiding[@]}" "$@"
}

# A user's run of the installed programs: a home of its own, settings from its configuration
# directory, the library copy in its own temporary directory.
export HOME=$work/home TMPDIR=$work/tmp
unset XDG_CONFIG_HOME
mkdir -p "$HOME/.config/unit-loader" "$TMPDIR"
cd "$work"
say "download with the installed unit-loader-cli into the installed unit-sim"
mkfifo sim.out
"${hiding[@]}" unit-sim --pace --baud 38400 --version-text "DEB TEST 1.00" --link "$work/unit0" >sim.out &
sim_pid=$!
exec 3<sim.out
read -r -t 10 device <&3 || fail "the installed unit-sim did not start"
printf 'Baudrate,38400\r\nPort,%s\r\n' "$work/unit0" >"$HOME/.config/unit-loader/vsk_download_config.txt"
{
  head -c $((246 * 10)) < <(yes "Unit Loader package test image.")
  head -c $((246 * 3)) /dev/zero | tr '\0' '\377'
  head -c 500 < <(yes "tail")
} >body.bin
installed_run 60 unit-loader-cli seal body.bin image.bin >/dev/null || fail "seal failed"
status=0
# No --port, no --baud: both come from the settings file in ~/.config/unit-loader.
installed_run 120 unit-loader-cli download image.bin >download.out 2>download.err || status=$?
cat download.out
((status == 0)) && grep -q "The target file was downloaded successfully" download.out ||
  { cat download.err; fail "the download into $device ended with exit code $status"; }
grep -qF "$HOME/.config/unit-loader/vsk_download_config.txt" download.err ||
  { cat download.err; fail "the installed unit-loader-cli did not say it used ~/.config/unit-loader"; }
version=$(installed_run 60 unit-loader-cli version --quiet) && [[ $version == "DEB TEST 1.00" ]] ||
  fail "version check: '${version:-}'"
say "the unit says $version"
kill -TERM "$sim_pid"
summary=$(timeout 10 cat <&3 || true)
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
exec 3<&-
grep -q "verify result: D3 00" <<<"$summary" || { echo "$summary"; fail "the unit did not verify the image"; }

say "apt-get install unit-loader (the window)"
apt_install "$window_deb"
check_programs unit-loader
[[ -f /usr/share/applications/unit-loader.desktop && -f /usr/share/icons/hicolor/32x32/apps/unit-loader.png ]] ||
  fail "no desktop entry or icon"
# The window answers --help and --version without a display, for its man page and for people.
installed_run 30 env -u DISPLAY -u WAYLAND_DISPLAY unit-loader --help >window-help.out 2>&1 ||
  { cat window-help.out; fail "unit-loader --help failed"; }
grep -q -- "--station" window-help.out || { cat window-help.out; fail "unit-loader --help does not describe --station"; }
version=$(env -u DISPLAY -u WAYLAND_DISPLAY unit-loader --version) && [[ $version == "unit-loader 1.21" ]] ||
  fail "unit-loader --version says '${version:-}'"

ls -A /usr/bin >"$work/usr-bin.after"
diff <(grep -v -xE 'unit-loader|unit-loader-cli|unit-sim|trace-listen' "$work/usr-bin.after") "$work/usr-bin.before" ||
  fail "the installed programs wrote to /usr/bin"
[[ -z $(find "$TMPDIR" -mindepth 1 -print -quit) ]] || { find "$TMPDIR"; fail "a library copy was left behind"; }

say "apt-get purge"
purge_installed || fail "apt-get purge failed"
installed=""
for path in /usr/bin/unit-loader /usr/bin/unit-loader-cli /usr/share/man/man1/unit-loader-cli.1.gz \
  /usr/share/doc/unit-loader /usr/share/doc/unit-loader-cli; do
  [[ ! -e $path ]] || fail "$path is still there after the packages were removed"
done
say "passed ($(($(date +%s) - started)) s)"
