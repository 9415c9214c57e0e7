#!/usr/bin/env bash
# The Windows installer under Wine: builds it (makensis), installs silently with the command-line
# programs (/S /CLI), checks the installed files, the Start-menu entry and the uninstall entry,
# downloads with the installed unit-loader-cli into a simulated unit on COM1 and reads its
# version, then uninstalls silently and checks that everything it installed is gone. Run by
# scripts/test-windows.sh with the prefix (WINEPREFIX) and COM1's mapping set up, COM1 free:
#   installer-test.sh WIN-BUILD-DIR UNIT-SIM COM1-LINK
set -euo pipefail
win_build=$1 sim=$2 com1=$3
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")
say() { echo "== installer: $*"; }
fail() {
  echo "installer-test.sh: $*" >&2
  exit 1
}

cmake --build "$win_build" --target installer >/dev/null
setup=$win_build/packaging/unit-loader-setup-$version.exe
[[ -f $setup ]] || fail "no installer at $setup"

work=$(mktemp -d "${TMPDIR:-/tmp}/ul-installer.XXXXXX")
sim_pid=""
cleanup() {
  if [[ -n $sim_pid ]]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# An NSIS installer and uninstaller end with 0 when they did their work.
say "silent install with the command-line programs"
(cd "$work" && timeout --kill-after=10 300 wine "$setup" /S /CLI) || fail "the silent install failed"
users=$WINEPREFIX/drive_c/users
dir=$(find "$users" -maxdepth 6 -type d -path '*/AppData/Local/Programs/Unit Loader' -print -quit)
[[ -n $dir ]] || fail "nothing installed under $users/*/AppData/Local/Programs"
for file in "Unit Loader ver$version.exe" unit-loader-cli.exe trace-listen.exe README.txt uninstall.exe; do
  [[ -f $dir/$file ]] || fail "the install lacks $file"
done
menu=$(find "$users" -type d -path '*/Start Menu/Programs/Unit Loader' -print -quit)
[[ -n $menu && -f "$menu/Unit Loader.lnk" ]] || fail "no Start-menu entry for the window"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Unit Loader'
timeout 120 wine reg query "$uninstall_key" /v UninstallString >/dev/null 2>&1 || fail "no uninstall entry"
say "installed in $dir"

# The installed CLI from an operator's folder of download files, against the simulated unit.
mkfifo "$work/sim.out"
"$sim" --link "$com1" --reset-polls 0 --enabled-polls 2 --version-text "WINE INSTALLED 1.00" >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
read -r -t 10 device <&3 || fail "the simulated unit did not start"
[[ $(readlink "$com1") == "$device" ]] || fail "$com1 does not lead to $device"
{
  head -c $((246 * 5)) < <(yes "Unit Loader installer test image.")
  head -c 200 < <(yes "tail")
} >"$work/body.bin"
installed_cli() {  # installed_cli SECONDS ARGS...
  local limit=$1
  shift
  (cd "$work" && timeout --kill-after=10 "$limit" wine "$dir/unit-loader-cli.exe" "$@" 2>&1 | tr -d '\r')
}
installed_cli 120 seal body.bin image.bin >/dev/null || fail "seal with the installed CLI failed"
out=$(installed_cli 600 download image.bin --port COM1 --baud 38400) ||
  { echo "$out"; fail "the installed CLI's download failed"; }
grep -q "The target file was downloaded successfully" <<<"$out" || { echo "$out"; fail "no success box"; }
got=$(installed_cli 120 version --port COM1 --baud 38400 --quiet) && [[ $got == "WINE INSTALLED 1.00" ]] ||
  fail "version with the installed CLI: '${got:-}'"
say "the installed CLI downloaded and read '$got'"
kill -TERM "$sim_pid"
summary=$(timeout 10 cat <&3 || true)
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
exec 3<&-
grep -q "verify result: D3 00" <<<"$summary" || { echo "$summary"; fail "the unit did not verify the image"; }
# The run's library copy went with it.
if compgen -G "$dir/px417*.dll" >/dev/null; then fail "a library copy was left in $dir"; fi

say "silent uninstall"
# The uninstaller runs on from a copy of itself in the temporary folder, so the call returns
# before the files are gone: wait for that, with a bound.
(cd "$work" && timeout --kill-after=10 300 wine "$dir/uninstall.exe" /S) || fail "the silent uninstall failed"
for _ in $(seq 600); do
  [[ $(ls -A "$dir" 2>/dev/null) != records.jsonl || -e $menu ]] || break
  sleep 0.1
done
# The attempt records are the user's, not the program's: they outlive it, and nothing else does.
[[ $(grep -c '"event":"end"' "$dir/records.jsonl" 2>/dev/null) == 2 ]] ||
  fail "records.jsonl does not hold the installed CLI's two attempts after the uninstall"
left=$(ls -A "$dir")
[[ $left == records.jsonl ]] || { ls -la "$dir"; fail "$dir still holds more than the records after the uninstall"; }
[[ ! -e $menu ]] || fail "the Start-menu folder is still there after the uninstall"
if timeout 120 wine reg query "$uninstall_key" >/dev/null 2>&1; then fail "the uninstall entry is still there"; fi
say "passed"
