#!/usr/bin/env bash
# Runs one Windows program under Wine with the build tree's private prefix.
# Used as CMake's cross-compiling emulator, so ctest runs test exes through it.
set -euo pipefail
exe="$1"; shift
if [ -z "${QUILLA_BUILD_DIR:-}" ]; then
    # The exe lives somewhere below the build tree, which holds CMakeCache.txt.
    d=$(cd "$(dirname "$exe")" && pwd)
    while [ "$d" != "/" ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
    [ -f "$d/CMakeCache.txt" ] && QUILLA_BUILD_DIR="$d" || QUILLA_BUILD_DIR="$(pwd)"
fi
export QUILLA_BUILD_DIR
. "$(dirname "$0")/wine-env.sh"
quilla_wine_prefix
if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" "$@"
fi
exec wine "$exe" "$@"
