#!/usr/bin/env bash
# Builds the Windows programs (32-bit, release, stripped, no MinGW DLLs needed) and packs them
# with a short README into dist/unit-loader-windows-<version>.zip, and builds the installer
# dist/unit-loader-setup-<version>.exe (NSIS) from the same programs.
#
#   UL_DIST_BUILD_DIR  build directory (default build-win-release)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${UL_DIST_BUILD_DIR:-$root/build-win-release}
version=$(sed -n 's/^project(UnitLoader VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=unit-loader-windows-$version

"$root/scripts/install-deps.sh"
"$root/scripts/install-deps.sh" windows
command -v zip >/dev/null || { echo "dist-windows.sh: zip is missing (apt-get install zip)" >&2; exit 1; }
command -v makensis >/dev/null || { echo "dist-windows.sh: makensis is missing (apt-get install nsis)" >&2; exit 1; }

echo "== Building the Windows programs in $build"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DUL_BUILD_TESTS=OFF -DCMAKE_MODULE_LINKER_FLAGS=-s \
  -DCMAKE_EXE_LINKER_FLAGS=-s >/dev/null
cmake --build "$build" -j"$(nproc)" --target unit-loader-win unit-loader-cli trace-listen installer >/dev/null

stage=$(mktemp -d "${TMPDIR:-/tmp}/ul-dist.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/$name"
cp "$build/loader/window/Unit Loader ver$version.exe" "$build/tools/unit-loader-cli/unit-loader-cli.exe" \
  "$build/tools/trace-listen/trace-listen.exe" "$stage/$name/"
sed "s/@VERSION@/$version/g" "$root/scripts/dist-windows-readme.txt" | sed 's/$/\r/' >"$stage/$name/README.txt"

mkdir -p "$root/dist"
rm -f "$root/dist/$name.zip"
(cd "$stage" && zip -q -r "$root/dist/$name.zip" "$name")
cp "$build/packaging/unit-loader-setup-$version.exe" "$root/dist/"
echo "== dist/$name.zip"
unzip -l "$root/dist/$name.zip"
echo "== dist/unit-loader-setup-$version.exe"
