#!/usr/bin/env bash
# Builds the library and the bench program (RelWithDebInfo) and measures Command round trips.
#   bench/command_roundtrip.sh [COUNT] [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
count="${1:-2000}"
build="${2:-$root/build-bench}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target command_roundtrip -j2 >/dev/null
"$build/bench/command_roundtrip" "$count"
