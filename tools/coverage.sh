#!/usr/bin/env bash
# Line and branch coverage of src/ by the whole test suite under Wine, the real
# program's end-to-end runs included.
#   tools/coverage.sh [ctest arguments...]
# Builds an instrumented tree of its own (build-coverage/, or
# $QUILLMARK_COVERAGE_DIR) with its own Wine prefix, clears the counts of any
# earlier run, runs the tests and reports: a summary here, the table per file in
# <tree>/coverage/summary.txt and a browsable report in <tree>/coverage/index.html.
# Branches taken only by a thrown exception are left out of the branch figure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLMARK_COVERAGE_DIR:-$root/build-coverage}
report=$build/coverage

"$root/tools/ensure-deps.sh" gcovr
if [ ! -f "$build/build.ninja" ]; then
  # Unoptimised, so that lines and branches map one to one onto the source.
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" \
    -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_COVERAGE=ON >/dev/null
fi
cmake --build "$build"

# Counts of several runs add up, so a measurement starts from none.
find "$build" -name '*.gcda' -delete
trap '"$root/tools/wine-stop.sh" "$build/wineprefix"' EXIT
status=0
(cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@") || status=$?

rm -rf "$report" && mkdir -p "$report"
# Counts are searched for under src/ alone: the tree also holds the Wine prefix,
# whose drive Z: links to the whole file system and every other tree's counts.
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
  --gcov-executable i686-w64-mingw32-gcov --exclude-throw-branches \
  --txt "$report/summary.txt" --html-details "$report/index.html" --print-summary \
  "$build/src"
[ "$status" -eq 0 ] || echo "Some tests failed (ctest exit $status); the figures cover what ran." >&2
exit "$status"
