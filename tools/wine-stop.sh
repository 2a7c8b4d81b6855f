#!/usr/bin/env bash
# Shuts down the wineserver of a prefix made by wine-run.sh.
prefix=$1
[ -d "$prefix" ] || exit 0
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
