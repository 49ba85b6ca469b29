#!/usr/bin/env bash
# Configures and builds one build tree. Usage: build.sh BUILD_DIR [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bdir="$1"; shift
cmake -S "$root" -B "$bdir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" "$@" >/dev/null
cmake --build "$bdir"
