#!/usr/bin/env bash
# Installs what the build and the Wine test bench need, when it is missing.
# Quick when everything is already there. Packages named as arguments (tools
# that only some commands use, such as gcovr) are installed with them.
#   tools/ensure-deps.sh [PACKAGE...]
set -euo pipefail

packages=(g++-mingw-w64-i686-posix wine wine32:i386 wine64 cmake ninja-build
          libgtest-dev nlohmann-json3-dev python3 clang-format "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
