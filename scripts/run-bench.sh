#!/usr/bin/env bash
# Builds the benchmarks and runs them under Wine: client throughput with ProceedStep(1024) and
# ProceedStep(57344) against plain WinInet in 64 KiB writes, and peak working set; then the
# reporter end to end (upload, start to dialog, shipped size).
. "$(dirname "$0")/prelude.sh"
quilla_setup_and_build
run=(bash scripts/wine-session.sh bash -c 'bash scripts/wine-run.sh "$1/bench/bench_upload.exe" &&
    echo && bash scripts/wine-run.sh "$1/bench/bench_reporter.exe"' - "$QUILLA_BUILD_DIR")
# The reporter's dialog needs a display; one for the whole session, like the tests.
[ -n "${DISPLAY:-}" ] || run=(quilla_with_display "${run[@]}")
"${run[@]}"
