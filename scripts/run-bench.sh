#!/usr/bin/env bash
# Builds the benchmarks and runs them under Wine: client throughput with ProceedStep(1024) and
# ProceedStep(57344) against plain WinInet in 64 KiB writes, and peak working set; then the
# reporter end to end (upload, send button to delivered report against the last reporter that sent
# before keeping, start to dialog, shipped size).
. "$(dirname "$0")/prelude.sh"
quilla_setup_and_build
# The last reporter that sent the crash file itself, without keeping it first: built from its
# commit once, the same way, for the same loopback URL, so that the two run side by side.
landed=2d4122c
base="$QUILLA_BUILD_DIR/bench-landed-$landed"
if [ ! -f "$base/build/ship/crashreport.exe" ]; then
    rm -rf "$base" && mkdir -p "$base/src"
    git archive "$landed" | tar -x -C "$base/src"
    cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" \
        -DQUILLA_BUILD_TESTS=OFF -DQUILLA_BUILD_EXAMPLES=OFF \
        -DQUILLA_REPORT_URL=http://127.0.0.1:${QUILLA_REPORT_PORT:-18080}/vorlex.php >/dev/null
    cmake --build "$base/build" --target crashreport_ship
fi
echo "argv[1]: the reporter of commit $landed"
run=(bash scripts/wine-session.sh bash -c 'bash scripts/wine-run.sh "$1/bench/bench_upload.exe" &&
    echo && bash scripts/wine-run.sh "$1/bench/bench_reporter.exe" "$2"' - "$QUILLA_BUILD_DIR" "$base/build/ship/crashreport.exe")
# The reporter's dialog needs a display; one for the whole session, like the tests.
[ -n "${DISPLAY:-}" ] || run=(quilla_with_display "${run[@]}")
"${run[@]}"
