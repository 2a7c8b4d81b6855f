#!/usr/bin/env bash
# Installs what is missing, builds, installs a scenario of the simulated agent
# into the bench prefix and runs quillmark.exe against it, with a report per run.
#   ./demo.sh                                   default scenario, two runs
#   ./demo.sh --scenario FILE --runs N --out DIR
# A scenario's "runs" list changes the agent's answers from run to run; without
# --runs the demo makes one run per item (at least two). Exit status 3: a run
# ended with an exit code other than 0 or -1.
# See docs/simulated-agent.md for the scenario format, the verdict lines and
# the output layout.
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
build=${QUILLMARK_BUILD_DIR:-$root/build}
export QUILLMARK_BUILD_DIR=$build

"$root/tools/build.sh"
trap '"$root/tools/wine-stop.sh" "$build/wineprefix"' EXIT
python3 "$root/tools/demo/run_demo.py" --build "$build" "$@"
