#!/usr/bin/env bash
# The longest erase a download survives, per baud rate. The simulated unit keeps to the line rate
# and answers busy for exactly --erase-ms after acknowledging the download start (no extra busy
# polls); the command-line loader downloads a small file into it. A bisection to 5 ms finds where
# F3 begins. Noisy on a loaded machine: run it alone.
#   bench/erase_budget.sh [BUILD_DIR] [BAUD...]        (default: build-bench, 9600 38400)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build-bench}"
shift || true
bauds=("$@")
[[ ${#bauds[@]} -gt 0 ]] || bauds=(9600 38400)

. "$here/build.sh"
build_bench "$build" unit-loader-cli unit-sim
sim="$build/tools/unit-sim/unit-sim"
cli="$build/tools/unit-loader-cli/unit-loader-cli"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
head -c 300 /dev/urandom >"$work/body"
"$cli" seal "$work/body" "$work/image.bin" >/dev/null

# Succeeds when a download into a unit that erases for $2 ms at $1 baud succeeds.
survives() {
  local baud=$1 ms=$2 dev rc=0
  coproc SIM { exec "$sim" --pace --baud "$baud" --erase-ms "$ms" --erase-polls 0; }
  read -r dev <&"${SIM[0]}"
  "$cli" download "$work/image.bin" --port "$dev" --baud "$baud" --quiet >/dev/null 2>&1 || rc=$?
  kill "$SIM_PID"
  wait "$SIM_PID" || true
  if [[ $rc != 0 && $rc != 13 ]]; then
    echo "  erase $ms ms: unexpected exit code $rc (13 is F3)" >&2
  fi
  [[ $rc == 0 ]]
}

for baud in "${bauds[@]}"; do
  lo=0 hi=5000
  if ! survives "$baud" "$lo"; then
    echo "$baud baud: even an instant erase fails"
    continue
  fi
  if survives "$baud" "$hi"; then
    echo "$baud baud: an erase of $hi ms still succeeds"
    continue
  fi
  while ((hi - lo > 5)); do
    mid=$(((lo + hi) / 2))
    if survives "$baud" "$mid"; then lo=$mid; else hi=$mid; fi
  done
  echo "$baud baud: longest erase that succeeds ${lo} ms (F3 at ${hi} ms)"
done
