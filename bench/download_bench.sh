#!/usr/bin/env bash
# Builds the loader's download bench (RelWithDebInfo) and runs both measurements:
#   paced:   64 KiB at 38400 baud, line-rate pacing, zero flash time (wall vs floor, loader CPU)
#   unpaced: 4 MiB as fast as the pseudo-terminal allows (time per block)
#   bench/download_bench.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
build="${1:-$root/build-bench}"

. "$here/build.sh"
build_bench "$build" download_bench
"$build/bench/download_bench" paced 64 38400
echo
"$build/bench/download_bench" unpaced 4096
