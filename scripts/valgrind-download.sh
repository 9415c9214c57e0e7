#!/usr/bin/env bash
# A whole download through the command-line loader into a simulated unit, the loader under
# valgrind's memcheck. Fails on any definite or indirect leak, invalid access or use of
# uninitialised memory, on any exit code but success, and unless the unit then holds the file.
#   scripts/valgrind-download.sh UNIT_LOADER_CLI UNIT_SIM
set -euo pipefail
cli=${1:?path of unit-loader-cli}
sim=${2:?path of unit-sim}

work=$(mktemp -d "${TMPDIR:-/tmp}/ul-valgrind.XXXXXX")
sim_pid=""
stop_sim() {
  [[ -n $sim_pid ]] || return 0
  kill -TERM "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
}
trap 'stop_sim; rm -rf "$work"' EXIT

# 40 blocks, the last one short: every phase of a download, brief enough at memcheck's pace.
head -c $((246 * 40 - 60)) < <(yes "memcheck download image") >"$work/body.bin"
"$cli" seal "$work/body.bin" "$work/image.bin" >/dev/null

mkfifo "$work/sim.out"
"$sim" --link "$work/unit0" --image-out "$work/unit.bin" >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"
if ! read -r -t 10 device <&3; then
  echo "the simulated unit did not start" >&2
  exit 1
fi
echo "simulated unit on $device"

status=0
valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect --error-exitcode=99 \
  --track-origins=yes --quiet \
  "$cli" download "$work/image.bin" --port "$work/unit0" --baud 38400 --quiet \
  --records "$work/records.sqlite" || status=$?
if ((status == 99)); then
  echo "memcheck found errors (above)" >&2
  exit 1
elif ((status != 0)); then
  echo "the download under memcheck ended with exit code $status" >&2
  exit 1
fi

stop_sim
cat <&3 >/dev/null
if ! cmp "$work/image.bin" "$work/unit.bin"; then
  echo "the unit does not hold the file" >&2
  exit 1
fi
echo "download under memcheck: clean, the unit holds the file"
