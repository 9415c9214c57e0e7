#!/usr/bin/env bash
# A real download with no hardware: installs what is missing, builds the loader's command-line
# program and the simulated unit, makes a sample image with blank blocks, starts the simulated
# unit at 38400 baud with line-rate pacing, downloads into it with the progress bar, reads the
# unit's version and stops the simulator.
#
#   scripts/demo.sh                                  the demo
#   scripts/demo.sh --port /dev/ttyUSB0 [--baud N] FIRMWARE.bin
#                                                    the same download and version check on a
#                                                    real unit (no simulator; FIRMWARE must be a
#                                                    real download file for that unit)
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

port="" baud=38400 firmware=""
while (($#)); do
  case $1 in
    --port) port=${2:?--port needs a device}; shift 2 ;;
    --baud) baud=${2:?--baud needs a number}; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
    *) firmware=$1; shift ;;
  esac
done
if [[ -n $port && -z $firmware ]]; then
  echo "demo.sh: with --port, name the unit's firmware file" >&2
  exit 2
fi

if [[ -n ${UL_DEMO_BUILD_DIR:-} ]]; then
  build=$UL_DEMO_BUILD_DIR
else
  build=$root/build-demo
  "$root/scripts/install-deps.sh"
  echo "== Building unit-loader-cli and unit-sim in $build"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DUL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target unit-loader-cli unit-sim >/dev/null
fi
cli=$build/tools/unit-loader-cli/unit-loader-cli
sim=$build/tools/unit-sim/unit-sim

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
