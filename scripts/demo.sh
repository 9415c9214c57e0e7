#!/usr/bin/env bash
# A real download with no hardware: installs what is missing, builds the loader's command-line
# program and the simulated unit, makes a sample image with blank blocks, starts the simulated
# unit at 38400 baud with line-rate pacing, downloads into it with the progress bar, reads the
# unit's version and stops the simulator.
#
#   scripts/demo.sh                                  the demo
#   scripts/demo.sh --window                         the same simulated unit and sample image, in
#                                                    the operator's window (unit-loader) with the
#                                                    unit's port preselected; the download is
#                                                    yours to start
#   scripts/demo.sh --port /dev/ttyUSB0 [--baud N] FIRMWARE.bin
#                                                    the same download and version check on a
#                                                    real unit (no simulator; FIRMWARE must be a
#                                                    real download file for that unit); with
#                                                    --window, the window on that port
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

port="" baud=38400 firmware="" window=0
while (($#)); do
  case $1 in
    --port) port=${2:?--port needs a device}; shift 2 ;;
    --baud) baud=${2:?--baud needs a number}; shift 2 ;;
    --window) window=1; shift ;;
    -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
    *) firmware=$1; shift ;;
  esac
done
if [[ -n $port && -z $firmware && $window == 0 ]]; then
  echo "demo.sh: with --port, name the unit's firmware file" >&2
  exit 2
fi
if ((window)) && [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
  echo "demo.sh: --window needs a display (DISPLAY or WAYLAND_DISPLAY)" >&2
  exit 2
fi

if [[ -n ${UL_DEMO_BUILD_DIR:-} ]]; then
  build=$UL_DEMO_BUILD_DIR
else
  build=$root/build-demo
  # Only what the two programs need; Qt only for the window.
  targets=(unit-loader-cli unit-sim)
  if ((window)); then
    "$root/scripts/install-deps.sh" window
    targets+=(unit-loader)
  else
    "$root/scripts/install-deps.sh" demo
  fi
  echo "== Building ${targets[*]} in $build"
  # The window is built only when asked for, so a demo without it needs no Qt.
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUL_BUILD_TESTS=OFF -DUL_WINDOW="$window" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null
fi
cli=$build/tools/unit-loader-cli/unit-loader-cli
sim=$build/tools/unit-sim/unit-sim
loader=$build/loader/window/unit-loader
settings=$(dirname "$loader")/vsk_download_config.txt

work=$(mktemp -d "${TMPDIR:-/tmp}/unit-loader-demo.XXXXXX")
sim_pid=""
stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  # It stops at once on SIGTERM; a stuck one gets five seconds, then SIGKILL.
  for _ in $(seq 50); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
cleanup() {
  stop_sim
  # The window's settings beside the program come back as they were before the demo.
  if ((window)); then
    if [[ -e $work/settings.saved ]]; then mv -f "$work/settings.saved" "$settings"; else rm -f "$settings"; fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ -z $port ]]; then
  echo "== Making a sample image: 40 blocks of data, 30 blank blocks (all 0xFF), 60 more of data"
  {
    head -c $((246 * 40)) < <(yes "Unit Loader demo image, not firmware for any unit.")
    head -c $((246 * 30)) /dev/zero | tr '\0' '\377'
    head -c $((246 * 60 - 100)) < <(yes "Passed-over blocks cost no time on the line.")
  } >"$work/body.bin"
  (cd "$work" && "$cli" seal body.bin demo.bin && "$cli" check demo.bin)
  firmware=$work/demo.bin

  echo "== Starting the simulated unit (line-rate pacing at $baud baud)"
  mkfifo "$work/sim.out"
  "$sim" --pace --baud "$baud" --link "$work/unit0" >"$work/sim.out" &
  sim_pid=$!
  exec 3<"$work/sim.out"
  if ! read -r -t 10 device <&3; then
    echo "demo.sh: the simulated unit did not start" >&2
    exit 1
  fi
  echo "simulated unit on $device, linked as $work/unit0"
  port=$work/unit0
fi

if ((window)); then
  if [[ -e $settings ]]; then cp -p "$settings" "$work/settings.saved"; fi
  printf 'Baudrate,%s\r\nPort,%s\r\n' "$baud" "$port" >"$settings"
  echo "== The window, on $port at $baud baud"
  echo "Press BROWSE and choose ${firmware:-the firmware file} (or drop it on the window), then Start Download."
  echo "Version Check reads the unit's software version. Close the window (Escape) to end the demo."
  status=0
  "$loader" || status=$?
  echo "the window closed (exit code $status)"
  if [[ -n $sim_pid ]]; then
    echo "== Stopping the simulated unit"
    stop_sim
    cat <&3
    exec 3<&-
  fi
  # Closing the window is its only way out, and ends with 2.
  ((status == 2)) && exit 0
  exit "$status"
fi

echo "== Downloading $(basename "$firmware") into the unit on $port"
started=$(date +%s%N)
status=0
"$cli" download "$firmware" --port "$port" --baud "$baud" || status=$?
tenths=$((($(date +%s%N) - started) / 100000000))
echo "download took $((tenths / 10)).$((tenths % 10)) s (exit code $status)"
if ((status != 0)); then
  exit "$status"
fi

echo "== Reading the unit's software version"
version=$("$cli" version --port "$port" --baud "$baud" --quiet)
echo "software version: $version"

if [[ -n $sim_pid ]]; then
  echo "== Stopping the simulated unit"
  stop_sim
  cat <&3
  exec 3<&-
fi
