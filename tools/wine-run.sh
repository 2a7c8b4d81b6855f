#!/usr/bin/env bash
# Runs a Windows program of the build under the project's own Wine prefix.
#   tools/wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is made once and reused; a persistent, booted wineserver is kept up
# so that ctest's output pipe is not held open by Wine's helper processes.
# tools/wine-stop.sh PREFIX shuts the server down again.
set -euo pipefail

prefix=$(realpath -m "$1"); shift
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LC_ALL=C
# The ANSI code page of the program started here follows this locale (C: 1252),
# and the programs it starts keep it: an endpoint's locale is chosen here.
# Given to Wine alone; the shell has no such locale of its own.
program_locale=${QUILLMARK_LOCALE:-C}
unset DISPLAY WAYLAND_DISPLAY

prepare_prefix() {
  mkdir -p "$prefix"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.quillmark-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    # Without a debugger entry a crash may exit 0; with an empty one every
    # crash exits non-zero.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1
    wine reg add 'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1 || true
    wineserver -w
    touch "$prefix/.quillmark-ready"
  fi
  # Exits at once with status 2 when the prefix's server is already up.
  if wineserver -p </dev/null >/dev/null 2>&1; then
    wineboot </dev/null >/dev/null 2>&1 || true
  fi
  flock -u 9
  exec 9>&-
}

prepare_prefix
exec env LC_ALL="$program_locale" wine "$@"
