#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test under Wine.
#   ./test.sh [ctest arguments...]     e.g. ./test.sh -R test_support
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}
export QUILLMARK_BUILD_DIR=$build

"$root/tools/build.sh"
trap '"$root/tools/wine-stop.sh" "$build/wineprefix"' EXIT
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
