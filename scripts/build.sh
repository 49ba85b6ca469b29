#!/usr/bin/env bash
# Configures and builds one build tree with the project's standard settings: warnings as errors,
# tests on, the report URL of the local receiver (127.0.0.1:18080) that the demo and the benchmarks
# use, and the same port for the tests' reporters. QUILLA_REPORT_PORT moves both, so that two work
# trees on one machine can run their tests at once.
# Usage: build.sh [BUILD_DIR [extra cmake args...]]   (BUILD_DIR defaults to ./build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bdir="${1:-$root/build}"
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$bdir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
    -DQUILLA_WERROR=ON -DQUILLA_BUILD_TESTS=ON \
    -DQUILLA_REPORT_URL=http://127.0.0.1:${QUILLA_REPORT_PORT:-18080}/vorlex.php \
    -DQUILLA_TEST_REPORT_PORT=${QUILLA_REPORT_PORT:-18080} "$@" >/dev/null
cmake --build "$bdir"
