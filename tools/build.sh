#!/usr/bin/env bash
# Configures (once) and builds the tree into build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}
"$root/tools/ensure-deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" \
    -DCMAKE_BUILD_TYPE=${QUILLMARK_BUILD_TYPE:-RelWithDebInfo} >/dev/null
fi
cmake --build "$build"
