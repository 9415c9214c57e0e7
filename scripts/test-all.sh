#!/usr/bin/env bash
# Fresh Debian 12 machine to a full test run: installs what is missing, builds, runs every test,
# then repeats the tests of the threaded and memory-handling code under the sanitizers and fuzzes
# every parser for a short while.
# UL_SANITIZERS=0 skips the sanitizer builds; UL_FUZZ_SECONDS sets the time per fuzz target (30;
# 0 skips fuzzing); UL_WINDOWS=0 skips the Windows build and its Wine tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh"
# The Windows stage's packages on their own: when the registry cannot give 32-bit Wine (exit 3),
# that stage alone is skipped and said so at the end; any other failure ends the run.
skipped=""
if [[ "${UL_WINDOWS:-1}" != 0 ]]; then
  windows_status=0 windows_err=$(mktemp)
  "$root/scripts/install-deps.sh" windows 2>"$windows_err" || windows_status=$?
  cat "$windows_err" >&2
  if ((windows_status == 3)); then
    skipped="SKIPPED: the Windows stage ($(tail -n 1 "$windows_err"))"
  fi
  rm -f "$windows_err"
  ((windows_status == 0 || windows_status == 3)) || exit "$windows_status"
fi

# The tree keeps one format; a difference fails the run before anything is built.
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror)

build() {  # build DIR [cmake args...]
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

build "$root/build"
# Tests that measure time (label timing) run one at a time, after the rest.
ctest --test-dir "$root/build" --output-on-failure -j"$jobs" --timeout 300 -LE timing
ctest --test-dir "$root/build" --output-on-failure -j1 --timeout 300 -L timing

# The Debian package: built from that build, checked with lintian, installed, run, removed.
"$root/scripts/test-deb.sh" "$root/build"

# The Windows flavour, cross-built and tested under Wine against the simulated unit above.
# UL_WINDOWS=0 skips it.
if [[ "${UL_WINDOWS:-1}" != 0 && -z $skipped ]]; then
  UL_LINUX_BUILD_DIR="$root/build" "$root/scripts/test-windows.sh"
fi

if [[ "${UL_SANITIZERS:-1}" != 0 ]]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  for san in address thread; do
    echo "== ${san} sanitizer =="
    build "$root/build-$san" -DUL_SANITIZE="$san"
    ctest --test-dir "$root/build-$san" --output-on-failure -j"$jobs" --timeout 600 -LE 'slow|timing'
  done
fi

fuzz_seconds=${UL_FUZZ_SECONDS:-30}
if ((fuzz_seconds > 0)); then
  echo "== fuzzing, ${fuzz_seconds} s per target (clang, address and undefined sanitizers) =="
  "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi

if [[ -n $skipped ]]; then
  echo "$skipped"
fi
