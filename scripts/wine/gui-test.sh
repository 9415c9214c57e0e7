#!/usr/bin/env bash
# The Windows window program under Wine on a virtual X display, driven from outside by
# gui_driver.exe: it starts, writes px417.dll beside itself, shows the dialog of its template
# (a screenshot), downloads into the simulated unit and checks its version when its buttons are
# pressed, and ends with exit code 2 on Escape, the library file deleted and the settings saved.
# MODE abandon presses Escape instead while the unit erases: the same ending, the download given
# up. Run by scripts/test-windows.sh under xvfb-run, with the prefix, COM1 and the simulated unit
# (which must answer the download and report VERSION, or erase for minutes) already set up:
#   gui-test.sh whole|abandon WIN-BUILD-DIR WORK-DIR IMAGE FILE-CRC VERSION SCREENSHOT
set -euo pipefail
mode=$1 win_build=$2 work=$3 image=$4 file_crc=$5 version=$6 screenshot=$7

dir=$work/gui
rm -rf "$dir"
mkdir -p "$dir"
cp "$win_build/loader/window/Unit Loader ver1.21.exe" "$win_build/tests/windows/gui_driver.exe" "$dir/"
cp "$win_build/px417/px417.dll" "$dir/built-px417.dll"
# The download file where an operator's might be: C:\firmware.
mkdir -p "$WINEPREFIX/drive_c/firmware"
cp "$image" "$WINEPREFIX/drive_c/firmware/image.bin"
# The selections the window must start with, and save again on the way out.
printf 'Baudrate,38400\r\nPort,COM1\r\n' >"$dir/vsk_download_config.txt"
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

cd "$dir"
# The window's own bound only guards against a driver that never ends; it is closed by the
# driver (also after a failed step), and waited for below once the driver has ended.
timeout --kill-after=10 1100 wine "Unit Loader ver1.21.exe" >"$work/gui.log" 2>&1 &
gui=$!
: >"$work/driver.log"  # read below before the driver may have written a line
timeout --kill-after=10 900 wine gui_driver.exe "$mode" "$(windows_path "$dir")" built-px417.dll \
  'C:\firmware\image.bin' "$file_crc" "$version" "$(windows_path "$dir/shot.done")" >"$work/driver.log" 2>&1 &
driver=$!

# The driver says where the window is once it shows everything worth a picture.
shot=""
for _ in $(seq 1800); do
  shot=$(tr -d '\r' <"$work/driver.log" | sed -n 's/^gui_driver: SHOT //p')
  [[ -n $shot ]] && break
  kill -0 "$driver" 2>/dev/null || break
  sleep 0.5
done
if [[ -n $shot && $mode == whole ]]; then
  mkdir -p "$(dirname "$screenshot")"
  import -window root -crop "$shot" +repage "$screenshot" || echo "gui-test.sh: no screenshot" >&2
fi
touch "$dir/shot.done"

driver_status=0
wait "$driver" || driver_status=$?
# Closing takes the window seconds; one the driver could not close is ended here, so a failed
# run does not hold the stage for the window's whole bound.
timeout 60 tail --pid="$gui" -f /dev/null || true
kill -TERM "$gui" 2>/dev/null || true
gui_status=0
wait "$gui" || gui_status=$?
tr -d '\r' <"$work/driver.log" | grep '^gui_driver:'

failed=0
[[ $driver_status -eq 0 ]] || { echo "gui-test.sh: the driver ended with $driver_status"; failed=1; }
[[ $gui_status -eq 2 ]] || { echo "gui-test.sh: the window program ended with $gui_status, not 2"; failed=1; }
left=$(cd "$dir" && ls px417*.dll 2>/dev/null | tr '\n' ' ' || true)
[[ -z $left ]] || { echo "gui-test.sh: ${left% } still there after the close"; failed=1; }
# A window that had to be ended leaves its library: removed here all the same.
rm -f "$dir"/px417*.dll
settings=$(tr -d '\r' <"$dir/vsk_download_config.txt" | tr '\n' ' ')
[[ $settings == "Baudrate,38400 Port,COM1 " ]] || { echo "gui-test.sh: settings saved as '$settings'"; failed=1; }
# The window's attempts, in the journal beside it: the download and the version check; or the
# download given up by the close, ended as interrupted rather than left begun.
journal=$dir/records.jsonl
ends=$(grep -c '"event":"end"' "$journal" 2>/dev/null || true)
if [[ $mode == whole ]]; then
  [[ $ends == 2 ]] && grep '"event":"end"' "$journal" | grep '"kind":"download"' | grep -q '"outcome":"success"' ||
    { echo "gui-test.sh: records.jsonl lacks the download and the version check:"; cat "$journal"; failed=1; }
else
  [[ $ends == 1 ]] && grep '"event":"end"' "$journal" | grep -q '"outcome":"interrupted"' ||
    { echo "gui-test.sh: records.jsonl lacks the interrupted download:"; cat "$journal"; failed=1; }
fi
if [[ -n $shot && $mode == whole ]]; then echo "gui-test.sh: screenshot $screenshot ($shot)"; fi
exit $failed
