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
#   scripts/demo.sh --station                        a 4-slot production station on simulated
#                                                    units that an operator script puts in and
#                                                    takes out (one with an erase fault); ends at
#                                                    its quota of 7 passes, or with Ctrl-C
#   scripts/demo.sh --port /dev/ttyUSB0 [--baud N] FIRMWARE.bin
#                                                    the same download and version check on a
#                                                    real unit (no simulator; FIRMWARE must be a
#                                                    real download file for that unit); with
#                                                    --window, the window on that port
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

port="" baud=38400 firmware="" window=0 station=0
while (($#)); do
  case $1 in
    --port) port=${2:?--port needs a device}; shift 2 ;;
    --baud) baud=${2:?--baud needs a number}; shift 2 ;;
    --window) window=1; shift ;;
    --station) station=1; shift ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
    *) firmware=$1; shift ;;
  esac
done
if ((station)) && [[ -n $port || $window == 1 ]]; then
  echo "demo.sh: --station runs on simulated units only, without the window" >&2
  exit 2
fi
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

# Four slots on a fleet of simulated units; an operator script puts units in and takes them out
# while the station runs: each stays 12 s (a load takes about 9 s), then the slot is empty for 3 s.
# Slot C's first unit never finishes its erase.
station_demo() {
  echo "== Starting 4 simulated units, none in its slot yet"
  mkfifo "$work/control" "$work/sim.out"
  "$sim" --fleet 4 --dir "$work/fixture" --absent --control --pace --baud "$baud" \
    <"$work/control" >"$work/sim.out" 2>/dev/null &
  sim_pid=$!
  exec 4>"$work/control" 3<"$work/sim.out"
  for _ in 1 2 3 4; do
    if ! read -r -t 10 line <&3; then
      echo "demo.sh: the simulated units did not start" >&2
      return 1
    fi
    echo "simulated unit linked as ${line% *}"
  done
  local hash
  hash=$(sha256sum "$firmware" | cut -d' ' -f1)
  sed -e "s|^image = .*|image = \"$firmware\"|" -e "s|^image_sha256 = .*|image_sha256 = \"$hash\"|" \
    -e "s|^baud = .*|baud = $baud|" -e "s|^quota = .*|quota = 7|" -e "s|^retries = .*|retries = 0|" \
    -e '/^\[\[slot\]\]/,$d' "$root/examples/station.toml" >"$work/station.toml"
  for slot in A B C D; do
    n=$(($(printf '%d' "'$slot") - 64))
    printf '\n[[slot]]\nname = "%s"\nport = "%s"\n' "$slot" "$work/fixture/unit$n" >>"$work/station.toml"
  done
  echo "== The job ($work/station.toml)"
  grep -v '^#' "$work/station.toml" | sed '/^$/d' | head -12
  (
    for round in 1 2; do
      for n in 1 2 3 4; do
        fault=""
        if ((round == 1 && n == 3)); then fault="--busy-erase"; fi
        echo "connect $n $fault" >&4
        sleep 0.5
      done
      sleep 12
      for n in 1 2 3 4; do echo "remove $n" >&4; done
      sleep 3
    done
  ) &
  local feeder=$!
  echo "== The station (records in $work/records.sqlite)"
  local status=0
  "$cli" station "$work/station.toml" --records "$work/records.sqlite" || status=$?
  kill "$feeder" 2>/dev/null || true
  wait "$feeder" 2>/dev/null || true
  echo "station exit code $status"
  echo "== The records"
  "$cli" records list --records "$work/records.sqlite"
  exec 4>&-
  stop_sim
  return "$status"
}

if [[ -z $port ]]; then
  echo "== Making a sample image: 40 blocks of data, 30 blank blocks (all 0xFF), 60 more of data"
  {
    head -c $((246 * 40)) < <(yes "Unit Loader demo image, not firmware for any unit.")
    head -c $((246 * 30)) /dev/zero | tr '\0' '\377'
    head -c $((246 * 60 - 100)) < <(yes "Passed-over blocks cost no time on the line.")
  } >"$work/body.bin"
  (cd "$work" && "$cli" seal body.bin demo.bin && "$cli" check demo.bin)
  firmware=$work/demo.bin

  if ((station)); then
    station_demo
    exit $?
  fi
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
