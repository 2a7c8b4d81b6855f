#!/usr/bin/env bash
# Makes the release archive of this version: dist/quillmark-<version>.zip with
# the stripped program, its debug file, the trace message format files, the
# trace catalog and CONTENTS.txt saying what each file is.
#   tools/package.sh [--out DIR] [--no-build]
# --no-build packages what the build tree ($QUILLMARK_BUILD_DIR or build/)
# already holds, with a warning when that is older than the sources. Prints the
# archive's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}
out=$root/dist
do_build=1
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --no-build) do_build=0; shift ;;
    *) echo "usage: tools/package.sh [--out DIR] [--no-build]" >&2; exit 2 ;;
  esac
done
out=$(realpath -m "$out")
[ $do_build = 1 ] && "$root/tools/build.sh" >&2

version=$(sed -n 's/^#define QM_VERSION_\(MAJOR\|MINOR\|BUILD\|REVISION\) \([0-9]*\)$/\2/p' \
  "$root/src/resources/version.h" | paste -sd.)
name=quillmark-$version
for file in "$build/release/quillmark.exe" "$build/release/quillmark.exe.debug" "$build/tmf/.generated"; do
  [ -f "$file" ] || { echo "package: $file is missing (build first)" >&2; exit 1; }
done
if [ $do_build = 0 ]; then
  # Ninja's dry run lists each step a build would redo: the files it would
  # remake are older than their sources.
  stale=$(cmake --build "$build" --target quillmark_release trace_tmf -- -n 2>/dev/null | grep -c '^\[' || true)
  if [ "${stale:-0}" -gt 0 ]; then
    echo "package: warning: the build in $build is older than the sources ($stale build steps" \
      "out of date); packing it as it is (leave out --no-build to rebuild first)" >&2
  fi
fi

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name/tmf" "$out"
cp "$build/release/quillmark.exe" "$build/release/quillmark.exe.debug" "$stage/$name/"
cp "$build"/tmf/*.tmf "$stage/$name/tmf/"
cp "$root/src/diagnostics/trace_catalog.txt" "$stage/$name/"
cat >"$stage/$name/CONTENTS.txt" <<EOF
Quillmark $version

quillmark.exe         the program as installed on an endpoint (32-bit, stripped)
quillmark.exe.debug   its debug information, named in the program's .gnu_debuglink
                      section: keep it with the crash dump or beside the program to
                      symbolise a crash; never ship it to endpoints
tmf/<guid>.tmf        trace message format files, one per message GUID: give the
                      folder to the platform's trace formatting tools (TMF search
                      path) to read a binary trace of the program
trace_catalog.txt     every trace message: Source|Number|Level|Flag|ArgKinds|Text,
                      what tools/trace-decode.py reads for a QUILLMARK_TRACE file
EOF
rm -f "$out/$name.zip"
(cd "$stage" && python3 -m zipfile -c "$out/$name.zip" "$name")
echo "$out/$name.zip"
