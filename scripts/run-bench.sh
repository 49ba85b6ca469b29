#!/usr/bin/env bash
# Builds the upload benchmark and runs it under Wine: client throughput with ProceedStep(1024)
# and ProceedStep(57344) against plain WinInet in 64 KiB writes, and peak working set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
export QUILLA_BUILD_DIR="$root/build"
bash scripts/build.sh "$QUILLA_BUILD_DIR"
bash scripts/wine-session.sh bash scripts/wine-run.sh "$QUILLA_BUILD_DIR/bench/bench_upload.exe"
# 32 MiB over plain HTTP, HTTPS and through a proxy, and how long refused certificates take.
QUILLA_NET_BENCH=1 bash scripts/wine-session.sh bash tests/net/run_net_tests.sh \
    "$QUILLA_BUILD_DIR/tests/net/test_net.exe" "$QUILLA_BUILD_DIR" \
    "$(sed -n 's/^QUILLA_TEST_HTTPS_PORT:STRING=//p' "$QUILLA_BUILD_DIR/CMakeCache.txt")" --gtest_filter='Bench.*'
