#!/usr/bin/env bash
# Builds the session bench (RelWithDebInfo) and measures the Command round trip through the
# session stack against an unpaced simulated unit.
#   bench/session_roundtrip.sh [COUNT] [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
count="${1:-2000}"
build="${2:-$root/build-bench}"

. "$here/build.sh"
build_bench "$build" session_roundtrip
"$build/bench/session_roundtrip" "$count"
