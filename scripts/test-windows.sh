#!/usr/bin/env bash
# Builds the Windows flavour (32-bit, MinGW-w64) and runs its tests under Wine in a private
# prefix: the portable unit tests, px417.dll's exports against the simulated unit on COM1, a
# download and version check with the Windows unit-loader-cli, trace mailslots between
# Windows processes, and the window program under xvfb-run driven through its dialog (which
# leaves a screenshot in docs/). The simulated unit runs natively on a pseudo-terminal that COM1 is mapped
# to; no test touches the port before COM1 is known to be that pseudo-terminal.
#
# Where the kernel cannot run 32-bit programs, 32-bit Wine runs under user-mode QEMU (through
# binfmt_misc, registered here when missing; that needs root), with a small preload that fixes
# QEMU's handling of one mmap flag (see scripts/wine/mmap-noreplace.c).
#
#   UL_WIN_BUILD_DIR    Windows build directory (default build-win)
#   UL_LINUX_BUILD_DIR  Linux build with unit-sim (default build; built here when missing)
#   UL_WIN_SCREENSHOT   where the window's picture goes (default docs/windows-window.png)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
win_build=${UL_WIN_BUILD_DIR:-$root/build-win}
linux_build=${UL_LINUX_BUILD_DIR:-$root/build}
screenshot=${UL_WIN_SCREENSHOT:-$root/docs/windows-window.png}
started=$(date +%s)

say() { echo "== windows: $*"; }
fail() {
  echo "test-windows.sh: $*" >&2
  exit 1
}

say "building the Windows flavour in $win_build"
cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$win_build" -j"$jobs" >/dev/null
if [[ ! -x $linux_build/tools/unit-sim/unit-sim ]]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$linux_build" -j"$jobs" --target unit-sim >/dev/null
fi
if [[ ! -x $linux_build/tools/unit-loader-cli/unit-loader-cli ]]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$linux_build" -j"$jobs" --target unit-loader-cli >/dev/null
fi
sim=$linux_build/tools/unit-sim/unit-sim
linux_cli=$linux_build/tools/unit-loader-cli/unit-loader-cli

# The px417.dll exports: exactly the three, no more.
exports=$(i686-w64-mingw32-objdump -p "$win_build/px417/px417.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1 == "[" {print $3}' | sort | tr '\n' ' ')
[[ $exports == "load request unload " ]] || fail "px417.dll exports '$exports', not exactly load, request, unload"
say "px417.dll exports: $exports"
# Nothing but system DLLs: the MinGW runtime is linked in.
gui_exe="$win_build/loader/window/Unit Loader ver1.21.exe"
for binary in "$win_build/px417/px417.dll" "$win_build/tools/unit-loader-cli/unit-loader-cli.exe" \
  "$win_build/tools/trace-listen/trace-listen.exe" "$gui_exe"; do
  imports=$(i686-w64-mingw32-objdump -p "$binary" | awk '/DLL Name:/ {print $3}' | tr '\n' ' ')
  if grep -qiE 'libstdc|libgcc|libwinpthread' <<<"$imports"; then
    fail "$(basename "$binary") needs MinGW DLLs: $imports"
  fi
done

# The window program: a GUI-subsystem program whose resources hold the library, dialog 129,
# icon 128, the string table (block 9: ids 128 to 143), the version block and the manifest.
gui_header=$(i686-w64-mingw32-objdump -p "$gui_exe")
grep -q 'Subsystem.*(Windows GUI)' <<<"$gui_header" || fail "the window program is not a GUI-subsystem program"
# Type and name of every resource, as "TYPE/NAME" (numbers in hexadecimal).
resources=$(sed -n '/The .rsrc Resource Directory section/,$p' <<<"$gui_header" | awk '
  /^[0-9a-f]+ +Entry: / {
    match($0, /^[0-9a-f]+ +/); depth = RLENGTH
    key = $4
    if ($3 != "ID:") { sub(/^.*\]: /, ""); sub(/, Value.*/, ""); key = $0 } else sub(/,$/, "", key)
    if (top == 0 || depth <= top) { top = depth; type = key } else if (depth <= top + 2) print type "/" key
  }' | sort -u | tr '\n' ' ')
for want in DLLFILE/IDR_PX417_DLL 0x000005/0x000081 0x00000e/0x000080 0x000003/0x000001 0x000006/0x000009 \
  0x000010/0x000001 0x000018/0x000001; do
  [[ " $resources" == *" $want "* ]] || fail "the window program's resources lack $want: $resources"
done
say "the window program: GUI subsystem; library, dialog 129, icon 128, strings, version and manifest resources"

work=$(mktemp -d "${TMPDIR:-/tmp}/ul-wine.XXXXXX")
sim_pid=""
stop_sim() {  # stop_sim [SUMMARY-FILE]
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  exec 3<&-
}
server_pid=""
cleanup() {
  stop_sim
  if [[ -n ${WINEPREFIX:-} && -d ${WINEPREFIX:-} ]]; then timeout 30 wineserver -k 2>/dev/null || true; fi
  if [[ -n $server_pid ]]; then wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# --- 32-bit programs on this kernel ---------------------------------------------------------
# A machine that can neither run 32-bit programs nor be taught to (no root for binfmt_misc)
# still gets the cross-build and the checks on the binaries above; only the runs are left out,
# and the log says so in capitals so nobody takes it for a pass.
no_runtime() {
  echo "test-windows.sh: WINDOWS TESTS NOT RUN: $* (the Windows flavour was built and its exports checked)" >&2
  exit 0
}
binfmt=/proc/sys/fs/binfmt_misc
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  qemu=$(command -v qemu-i386 || true)
  [[ -n $qemu ]] || fail "this kernel cannot run 32-bit programs and qemu-i386 is missing (scripts/install-deps.sh)"
  if [[ ! -e $binfmt/register ]]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || no_runtime "cannot mount $binfmt (needs root)"
  fi
  if [[ ! -e $binfmt/qemu-i386 ]]; then
    say "registering qemu-i386 for 32-bit x86 programs"
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":qemu-i386:M::$magic:$mask:$qemu:F" >"$binfmt/register" || no_runtime "cannot register qemu-i386 (needs root)"
  fi
  /usr/lib/wine/wine --version >/dev/null 2>&1 || fail "32-bit Wine does not start under qemu-i386"
fi
if [[ -e $binfmt/qemu-i386 ]] && grep -qx enabled "$binfmt/qemu-i386"; then
  # Only emulated processes get it. 64-bit programs they start inherit the variable, so each
  # word size finds a library of its own under $LIB (an empty one for 64-bit).
  mkdir -p "$work/preload/lib/i386-linux-gnu" "$work/preload/lib/x86_64-linux-gnu"
  gcc -m32 -O2 -fPIC -shared -nostdlib -ffreestanding -o "$work/preload/lib/i386-linux-gnu/libmmapfix.so" \
    "$root/scripts/wine/mmap-noreplace.c"
  gcc -O2 -fPIC -shared -nostdlib -x c -o "$work/preload/lib/x86_64-linux-gnu/libmmapfix.so" /dev/null
  export QEMU_SET_ENV="LD_PRELOAD=$work/preload/\$LIB/libmmapfix.so"
  say "32-bit programs may run under qemu-i386: preloading the mmap fix"
fi

# --- a private prefix with COM1 on the simulated unit's link ---------------------------------
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY
com1=$work/com1
wine_run() {  # wine_run SECONDS PROGRAM ARGS...: one Wine call, bounded
  local limit=$1
  shift
  timeout --kill-after=10 "$limit" wine "$@"
}
say "making the Wine prefix"
# Wine's first start waits on its own services; on a busy machine that wait can run out once.
if ! wine_run 300 wineboot --init >"$work/wineboot.log" 2>&1; then
  timeout 30 wineserver -k 2>/dev/null || true
  wine_run 300 wineboot --init >>"$work/wineboot.log" 2>&1 || {
    tail -20 "$work/wineboot.log"
    fail "wineboot failed twice"
  }
fi
wine_run 120 reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1" /f >/dev/null 2>&1 ||
  fail "cannot map COM1"
# Windows without a window manager get Wine's own frame, so the screenshot shows the caption.
wine_run 120 reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1 ||
  fail "cannot set the X11 driver"
# The mapping is read when the wineserver starts, and the link must exist by then.
timeout 60 wineserver -w || fail "the wineserver did not stop"

start_sim() {  # start_sim ARGS...: a simulated unit linked at $com1
  mkfifo "$work/sim.out.$$"
  "$sim" --link "$com1" "$@" >"$work/sim.out.$$" &
  sim_pid=$!
  exec 3<"$work/sim.out.$$"
  rm -f "$work/sim.out.$$"
  local device
  read -r -t 10 device <&3 || fail "the simulated unit did not start"
  [[ $(readlink "$com1") == "$device" ]] || fail "$com1 does not lead to $device"
}
sim_summary() {  # stops the simulated unit and prints its summary
  kill -TERM "$sim_pid"
  timeout 10 cat <&3 || true
  stop_sim
}

start_sim --reset-polls 0 --enabled-polls 0 --bad-crc-reply 2 --silent-after 2
# One server for the whole run, so that programs do not each start it and its services anew.
timeout 3600 wineserver -f -p 600 >"$work/wineserver.log" 2>&1 &
server_pid=$!
wine_run 120 reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1 || fail "Wine does not start"
# COM1 must be the pseudo-terminal: otherwise Wine falls back to /dev/ttyS0, a real port.
for _ in $(seq 100); do [[ -L $WINEPREFIX/dosdevices/com1 ]] && break; sleep 0.1; done
mapped=$(readlink "$WINEPREFIX/dosdevices/com1" || true)
[[ $mapped == "$com1" ]] || fail "COM1 leads to '$mapped', not to the simulated unit's link $com1"
say "COM1 is $com1 -> $(readlink "$com1")"

failures=0
check() {  # check NAME COMMAND...: runs a check, counts a failure
  local name=$1
  shift
  local t0=$(date +%s)
  if "$@"; then
    say "PASS $name ($(($(date +%s) - t0)) s)"
  else
    say "FAIL $name"
    failures=$((failures + 1))
  fi
}

gtest_run() {  # gtest_run SECONDS EXE [ARGS...]: passes when the program says so
  # Output to a file: a child left behind by a crashed test must not hold a pipe open.
  local limit=$1 exe=$2
  shift 2
  (cd "$(dirname "$exe")" && wine_run "$limit" "$(basename "$exe")" --gtest_brief=1 "$@" >"$work/last.log" 2>&1) || true
  tr -d '\r' <"$work/last.log" | tail -40
  grep -q '^\[  PASSED  \]' "$work/last.log"
}

check "px417.dll exports against the simulated unit" gtest_run 300 "$win_build/tests/windows/px417_dll_tests.exe"
summary=$(sim_summary)
echo "$summary"
# The host's frames all had the right check code, and all three reached the unit.
grep -q "frames received: 3 (bad check code 0" <<<"$summary" || { say "FAIL simulated unit saw: $summary"; failures=$((failures + 1)); }

check "unit tests (common)" gtest_run 300 "$win_build/tests/common/common_tests.exe"
# The engine and the settings file as 32-bit code. Each takes seconds; the bounds are for a
# stuck start. A sparse file of gigabytes made from inside Wine under emulation stalls at times:
# the file-size case runs below, through the CLI, on a file the host makes.
check "unit tests (download engine and sequencer)" gtest_run 120 "$win_build/tests/download/download_tests.exe" \
  --gtest_filter=-CoreTest.FileBeyondThirtyTwoBitsIsAMemoryError
check "unit tests (settings file)" gtest_run 60 "$win_build/tests/cli/settings_tests.exe"
check "trace mailslots between Windows processes" gtest_run 300 "$win_build/tests/windows/mailslot_tests.exe"

# --- the Windows command-line loader: seal, check, download, version --------------------------
cli_dir=$win_build/tools/unit-loader-cli
{
  head -c $((246 * 6)) < <(yes "Unit Loader Windows test image.")
  head -c $((246 * 2)) /dev/zero | tr '\0' '\377'
  head -c 300 < <(yes "tail")
} >"$cli_dir/body.bin"
cli() {  # cli SECONDS ARGS...: the Windows CLI in its own directory
  local limit=$1
  shift
  (cd "$cli_dir" && wine_run "$limit" unit-loader-cli.exe "$@" >"$work/cli.log" 2>&1)
  local status=$?
  tr -d '\r' <"$work/cli.log"
  return $status
}
# A copy left by a run that was killed goes with the next run.
stale_copy=$cli_dir/px417.99999996.dll
cli_download() {
  : >"$stale_copy"
  cli 120 seal body.bin image.bin >/dev/null &&
    cli 120 check image.bin | grep -q "Blank blocks: 2" &&
    cli 600 download image.bin --port COM1 --baud 38400 >"$work/download.log" &&
    grep -q "The target file was downloaded successfully" "$work/download.log" ||
    { cat "$work/download.log" 2>/dev/null; return 1; }
  [[ ! -e $stale_copy ]] || { echo "the stale $(basename "$stale_copy") is still there"; return 1; }
  local left
  left=$(cd "$cli_dir" && ls px417.*.dll 2>/dev/null || true)
  [[ -z $left ]] || { echo "left beside the program: $left"; return 1; }
}
cli_version() {
  local version
  version=$(cli 120 version --port COM1 --baud 38400 --quiet) && [[ $version == "WINE TEST 1.00" ]] ||
    { echo "version: '${version:-}'"; return 1; }
}
# What a user sees for a port name that is no serial port, and for a file too large for a
# 32-bit program: the loader's box and the line that says why, never a crash.
cli_refusals() {
  local failed=0 port want status
  while IFS='|' read -r port want; do
    status=0
    cli 120 version --port "$port" --baud 9600 >"$work/refusal.log" || status=$?
    if [[ $status -ne 4 ]] || ! grep -qxF "$want" "$work/refusal.log"; then
      echo "--port $port: exit $status, wanted 4 and '$want':"
      cat "$work/refusal.log"
      failed=1
    fi
  done <<'TABLE'
NUL|Port NUL: the null device, not a serial port.
con|Port con: the console, not a serial port.
C:\windows|Port C:\windows: a folder, not a serial port.
COM1:|Port COM1:: the name ends with a colon: write it "COM1".
TABLE
  truncate -s 3G "$cli_dir/huge.bin"  # sparse: between the 2 GiB a 32-bit vector holds and 4 GiB
  status=0
  cli 120 download huge.bin --port COM1 --baud 38400 >"$work/refusal.log" || status=$?
  rm -f "$cli_dir/huge.bin"
  if [[ $status -ne 3 ]] || ! grep -qx "Memory Allocate Error" "$work/refusal.log"; then
    echo "a 3 GiB file: exit $status, wanted 3 and \"Memory Allocate Error\":"
    cat "$work/refusal.log"
    failed=1
  fi
  return $failed
}
# Without SQLite the Windows CLI keeps its attempts in records.jsonl beside it: a begin and an end
# line for each, which its own `records list` reads and the Linux CLI imports once.
cli_records() {
  local journal=$cli_dir/records.jsonl imported=$work/imported.sqlite
  [[ $(grep -c '"event":"begin"' "$journal") == 2 && $(grep -c '"event":"end"' "$journal") == 2 ]] ||
    { echo "records.jsonl:"; cat "$journal"; return 1; }
  cli 120 records list --outcome success | grep -c "COM1" | grep -qx 2 ||
    { echo "records list:"; cli 120 records list; return 1; }
  "$linux_cli" records import --records "$imported" "$journal" | grep -q ": 2 attempts, 2 new" &&
    "$linux_cli" records import --records "$imported" "$journal" | grep -q ": 2 attempts, 0 new" &&
    "$linux_cli" records list --records "$imported" --port COM1 | grep -q "version" ||
    { echo "the import of the Windows journal:"; "$linux_cli" records list --records "$imported"; return 1; }
}
start_sim --reset-polls 0 --enabled-polls 2 --version-text "WINE TEST 1.00"
rm -f "$cli_dir/records.jsonl"
check "unit-loader-cli download into the simulated unit" cli_download
check "unit-loader-cli version check" cli_version
check "unit-loader-cli: both attempts in the journal, imported on Linux once" cli_records
check "unit-loader-cli: port names that are no serial port, a 3 GiB file" cli_refusals
summary=$(sim_summary)
echo "$summary"
grep -q "verify result: D3 00" <<<"$summary" || { say "FAIL no good verify in the simulated unit"; failures=$((failures + 1)); }
file_crc=$(cli 120 check image.bin | sed -n 's/^File CRC: *//p')
cp "$cli_dir/image.bin" "$work/image.bin" 2>/dev/null || true
rm -f "$cli_dir/body.bin" "$cli_dir/image.bin"
check "the installer: silent install, the installed CLI, silent uninstall" "$root/scripts/wine/installer-test.sh" "$win_build" "$sim" "$com1"

# --- the window program on a virtual display ------------------------------------------------
# A wineserver of its own, started on the display: the one above started its desktop without.
timeout 30 wineserver -k 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
start_sim --reset-polls 0 --enabled-polls 2 --version-text "WINE TEST 1.00"
gui_test() {  # gui_test whole|abandon
  [[ -s $work/image.bin && -n $file_crc ]] || { echo "no download image from the CLI stage"; return 1; }
  timeout --kill-after=10 1200 xvfb-run -a -s "-screen 0 1024x768x24" "$root/scripts/wine/gui-test.sh" "$1" \
    "$win_build" "$work" "$work/image.bin" "$file_crc" "WINE TEST 1.00" "$screenshot"
}
check "the window program: dialog, download, version check, Escape" gui_test whole
summary=$(sim_summary)
echo "$summary"
grep -q "verify result: D3 00" <<<"$summary" || { say "FAIL no good verify from the window"; failures=$((failures + 1)); }
# Escape while the unit erases (for ten minutes): the download is given up, the window closes.
timeout 30 wineserver -k 2>/dev/null || true
start_sim --pace --erase-ms 600000
check "the window program: Escape during a download" gui_test abandon
summary=$(sim_summary)
echo "$summary"

source "$root/scripts/wine/several-units.sh"  # two units at once, COM1 and COM2
say "stage took $(($(date +%s) - started)) s"
if ((failures > 0)); then
  echo "$failures failed"
  exit 1
fi
echo "Windows: all passed"
