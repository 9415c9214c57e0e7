#!/usr/bin/env bash
# Builds the library and the bench program (RelWithDebInfo) and measures Command round trips.
#   bench/command_roundtrip.sh [COUNT] [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
count="${1:-2000}"
build="${2:-$root/build-bench}"

. "$here/build.sh"
build_bench "$build" command_roundtrip
"$build/bench/command_roundtrip" "$count"
