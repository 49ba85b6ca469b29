#!/usr/bin/env bash
# Runs the reporter's offline case in a network namespace without interfaces, where Wine reports
# the machine offline. Wine's server must start inside the namespace to see it that way, so the
# run gets a copy of the build's prefix (and so its own server). Usage: offline.sh TEST_EXE BUILD_DIR
set -euo pipefail
exe="$1"; build="$2"
if ! unshare -n true 2>/dev/null; then
    echo "unshare -n is not permitted here (needs root): offline case not run"
    exit 77
fi
tmp=$(mktemp -d)
cleanup() { WINEPREFIX="$tmp/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$tmp"; }
trap cleanup EXIT
cp -a "$build/wineprefix" "$tmp/prefix"
export WINEPREFIX="$tmp/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export QUILLA_EXPECT_OFFLINE=1
unshare -n xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    wine "$0" --gtest_filter="Offline.*"; rc=$?
    wineserver -k >/dev/null 2>&1 || true
    exit $rc' "$exe"
