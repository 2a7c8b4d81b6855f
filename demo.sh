#!/usr/bin/env bash
# Installs what is missing, builds, and runs quillmark.exe under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}
export QUILLMARK_BUILD_DIR=$build

"$root/tools/build.sh"
trap '"$root/tools/wine-stop.sh" "$build/wineprefix"' EXIT
set +e
"$root/tools/wine-run.sh" "$build/wineprefix" "$build/src/quillmark.exe" "$@"
code=$?
set -e
echo "quillmark.exe exit code: $code"
