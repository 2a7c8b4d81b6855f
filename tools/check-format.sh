#!/usr/bin/env bash
# Fails when a C or C++ file of the tree differs from the house style
# (.clang-format); `tools/check-format.sh --fix` rewrites them in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files -- 'src/*' 'agent/*' 'tests/*' 'bench/*' 'tools/*' |
                     grep -E '\.(c|cpp|h)$')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run --Werror "${files[@]}"
fi
