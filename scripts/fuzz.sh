#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and fuzzes each for a fixed time, starting from its committed corpus.
# Prints the executions per target; fails on the first finding, whose input is kept.
#   scripts/fuzz.sh [SECONDS=30] [TARGET...]
# New inputs go to a scratch corpus, never into the tree. UL_FUZZ_BUILD_DIR overrides build-fuzz.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(commmessage request request_sim unitport settings download_image journal_line job_file)
fi
build=${UL_FUZZ_BUILD_DIR:-$root/build-fuzz}
findings=$build/findings

# Only the fuzz binaries and what they link are built: a small build beside the g++ ones.
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUL_SANITIZE=address -DUL_LIBFUZZER=ON >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$findings"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/ul-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

printf '%-16s %12s %8s %10s  %s\n' target executions exec/s corpus result
status=0
for t in "${targets[@]}"; do
  corpus=$scratch/$t
  mkdir -p "$corpus"
  cp "$root/tests/fuzz/corpus/$t"/* "$corpus"/
  log=$build/fuzz-$t.log
  result=clean
  # A unit that never answers costs the library one second per Command: -timeout is well above it.
  if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$t-" "$corpus" >"$log" 2>&1; then
    result="FINDING, see $log and $findings"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  printf '%-16s %12s %8s %10s  %s\n' "$t" "${runs:-?}" "${rate:-?}" "$(ls "$corpus" | wc -l)" "$result"
done
exit "$status"
