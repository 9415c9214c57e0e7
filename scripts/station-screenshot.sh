#!/usr/bin/env bash
# Takes the picture of the production station's window: unit-loader --station under a virtual X
# display (Xvfb) with real fonts and a window manager, running a 4-slot job on simulated units at
# 9600 baud. Unit 1 goes into slot A and passes, unit 2 into slot B with a verify result warning
# and fails, and once both have ended unit 3 goes into slot C; the window is captured while C is
# loading (45 of its 100 blocks taken) and D is still waiting. Then the window gets
# SIGTERM, must end the station and exit 0 within 30 s, and the records must show C's download
# as interrupted. Installs what it alone needs when missing, builds as demo.sh does.
#
#   scripts/station-screenshot.sh [OUT.png]       default docs/station-window.png
#
# UL_DEMO_BUILD_DIR=DIR uses the programs already built in DIR: no install, no build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/station-window.png}

# shellcheck source=screenshot-common.sh
source "$root/scripts/screenshot-common.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/unit-loader-station-shot.XXXXXX")
pids=()
cleanup() {
  local pid
  # The simulator's control line and answers close first, so nothing blocks on them.
  exec 4>&- 3<&-
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid=${pids[i]}
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A process that has ended but is not yet reaped counts as gone.
gone() {
  local state
  state=$(ps -o stat= -p "$1") || return 0
  [[ $state == Z* ]]
}

start_display 1280x1024

echo "== The sample image and 4 simulated units at 9600 baud, none in its slot yet"
make_demo_image "$work/demo.bin"
mkfifo "$work/control" "$work/sim.out"
"$sim" --fleet 4 --dir "$work/fixture" --absent --control --pace --baud 9600 --log \
  <"$work/control" >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
exec 4>"$work/control" 3<"$work/sim.out"
for _ in 1 2 3 4; do
  if ! read -r -t 10 line <&3; then
    echo "station-screenshot.sh: the simulated units did not start" >&2
    exit 1
  fi
done
# One command to the simulator, and its one answer line.
tell() {
  local answer
  echo "$*" >&4
  if ! read -r -t 10 answer <&3 || [[ $answer == error* ]]; then
    echo "station-screenshot.sh: the simulator did not take '$*' (${answer:-no answer})" >&2
    return 1
  fi
}

hash=$(sha256sum "$work/demo.bin" | cut -d' ' -f1)
sed -e "s|^image = .*|image = \"$work/demo.bin\"|" -e "s|^image_sha256 = .*|image_sha256 = \"$hash\"|" \
  -e "s|^baud = .*|baud = 9600|" -e "s|^quota = .*|quota = 10|" -e "s|^retries = .*|retries = 0|" \
  -e '/^\[\[slot\]\]/,$d' "$root/examples/station.toml" >"$work/station.toml"
n=0
for slot in A B C D; do
  n=$((n + 1))
  printf '\n[[slot]]\nname = "%s"\nport = "%s"\n' "$slot" "$work/fixture/unit$n" >>"$work/station.toml"
done

echo "== The station's window"
records=$work/records.sqlite
UNIT_LOADER_RECORDS=$records UNIT_LOADER_CLI=$cli "$loader" --station "$work/station.toml" &
loader_pid=$!
pids+=("$loader_pid")
within 10 xdotool search --onlyvisible --name '^Station: '
wid=$(xdotool search --onlyvisible --name '^Station: ' | head -1)

echo "== Unit 1 into slot A, unit 2 (verify result warning) into slot B"
tell connect 1
tell connect 2 --result-80
listed() { "$cli" records list --records "$records" 2>/dev/null || true; }
# Whether the records hold an attempt of KIND on unit N's port that ended with OUTCOME.
recorded() {
  listed | awk -v kind="$1" -v port="$work/fixture/unit$2" -v outcome="$3" \
    '$2 == kind && $3 == port && $4 == outcome { found = 1 } END { exit !found }'
}
# A has passed once its version check is recorded a success; B has failed once its download
# ended with the verify warning. A load takes about 30 s at 9600 baud.
within 90 recorded version 1 success
within 10 recorded download 2 warning

echo "== Unit 3 into slot C; the picture once it has taken 45 blocks"
tell connect 3
within 60 bash -c "(( \$(grep -c 'unit3 <- FC .. D1 ' '$work/sim.log' || true) >= 45 ))"
import -frame -window "$wid" "$out"
echo "picture of the station with $(grep -c 'unit3 <- FC .. D1 ' "$work/sim.log") blocks sent to C: $out"

echo "== SIGTERM to the window"
kill -TERM "$loader_pid"
if ! within 30 gone "$loader_pid"; then
  echo "station-screenshot.sh: the window did not exit within 30 s of SIGTERM; the records then:" >&2
  listed >&2
  ps -o pid,stat,etime,args --ppid "$loader_pid" >&2 || true
  exit 1
fi
status=0
wait "$loader_pid" || status=$?
if ((status != 0)); then
  echo "station-screenshot.sh: the window ended with exit code $status, not 0" >&2
  exit 1
fi
echo "== The records"
listed
if ! recorded download 3 interrupted; then
  echo "station-screenshot.sh: slot C's download is not recorded as interrupted" >&2
  exit 1
fi
