#!/usr/bin/env bash
# Shuts down the wineserver of a prefix made by wine-run.sh.
#   tools/wine-stop.sh PREFIX      (relative paths are fine)
# Exit status 1, with Wine's message, when the server could not be told to stop;
# a prefix with no server running is nothing to stop.
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: tools/wine-stop.sh PREFIX" >&2; exit 2; }
# Wine refuses a relative WINEPREFIX ("not an absolute path").
prefix=$(realpath -m "$1")
[ -d "$prefix" ] || exit 0
# With no server running "wineserver -k" fails without a word; any word is a real failure.
if ! message=$(WINEPREFIX=$prefix wineserver -k 2>&1) && [ -n "$message" ]; then
  echo "wine-stop: $prefix: $message" >&2
  exit 1
fi
exit 0
