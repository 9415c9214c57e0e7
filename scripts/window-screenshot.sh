#!/usr/bin/env bash
# Takes the README's picture of the window: unit-loader under a virtual X display (Xvfb) with
# real fonts and a window manager, in the middle of a download into the simulated unit. Installs
# what it alone needs when missing, builds as demo.sh does, browses to a sample image through
# the window's own file chooser, presses Start Download, captures the window once the unit has
# taken 45 blocks (the 30 blank ones passed over, the bar past half way), then closes the window
# with Escape (exit code 2).
#
#   scripts/window-screenshot.sh [OUT.png]        default docs/window-download.png
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/window-download.png}

# shellcheck source=screenshot-common.sh
source "$root/scripts/screenshot-common.sh"
settings=$(dirname "$loader")/vsk_download_config.txt

work=$(mktemp -d "${TMPDIR:-/tmp}/unit-loader-shot.XXXXXX")
pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  # The operator's own settings beside the program come back as they were.
  if [[ -e $work/settings.saved ]]; then mv -f "$work/settings.saved" "$settings"; else rm -f "$settings"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_display 1024x768

echo "== The sample image and the simulated unit at 9600 baud"
make_demo_image "$work/demo.bin"
"$sim" --pace --baud 9600 --link "$work/unit0" --log >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
within 10 test -e "$work/unit0"

if [[ -e $settings ]]; then cp -p "$settings" "$work/settings.saved"; fi
printf 'Baudrate,9600\r\nPort,%s\r\n' "$work/unit0" >"$settings"

echo "== The window"
"$loader" &
loader_pid=$!
pids+=("$loader_pid")
within 10 xdotool search --onlyvisible --name '^UNIT LOADER Ver\.1\.21$'
wid=$(xdotool search --onlyvisible --name '^UNIT LOADER Ver\.1\.21$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$wid")"
# Controls by their dialog-unit centres; the client is 383 x 173 dialog units.
click() { xdotool mousemove --window "$wid" $(($1 * WIDTH / 383)) $(($2 * HEIGHT / 173)) click 1; }

click 255 39  # BROWSE
within 10 xdotool search --onlyvisible --name '^Target File$'
chooser=$(xdotool search --onlyvisible --name '^Target File$' | head -1)
xdotool windowactivate --sync "$chooser" type --delay 5 "$work/demo.bin"
xdotool key Return
within 10 bash -c "! xdotool search --onlyvisible --name '^Target File$'"

click 196 120  # Start Download
blocks() { grep -c '<- FC .. D1 ' "$work/sim.log" || true; }
within 60 bash -c "(( \$(grep -c '<- FC .. D1 ' '$work/sim.log' || true) >= 45 ))"
import -frame -window "$wid" "$out"
echo "picture of the window with $(blocks) blocks sent: $out"

xdotool windowactivate --sync "$wid" key Escape
status=0
wait "$loader_pid" || status=$?
if ((status != 2)); then
  echo "window-screenshot.sh: the window ended with exit code $status, not 2" >&2
  exit 1
fi
