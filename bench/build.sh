# Sourced by the bench scripts: configures a RelWithDebInfo build without tests and builds the
# named targets.   build_bench BUILD_DIR TARGET...
build_bench() {
  local build=$1; shift
  local root; root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUL_BUILD_TESTS=OFF >/dev/null
  for target in "$@"; do
    cmake --build "$build" --target "$target" -j2 >/dev/null
  done
}
