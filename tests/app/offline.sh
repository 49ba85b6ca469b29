#!/usr/bin/env bash
# Runs the reporter's offline rows in a network namespace without interfaces, where Wine reports
# the machine offline. Wine's server must start inside the namespace to see it that way, so the
# run gets a copy of the build's prefix (and so its own server). Usage: offline.sh BUILD_DIR RUNNER...
set -euo pipefail
build="$1"; shift
if ! unshare -n true 2>/dev/null; then
    echo "unshare -n is not permitted here (needs root): offline case not run"
    exit 77
fi
tmp=$(mktemp -d)
cleanup() { WINEPREFIX="$tmp/prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$tmp"; }
trap cleanup EXIT
cp -a "$build/wineprefix" "$tmp/prefix"
export WINEPREFIX="$tmp/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" QUILLA_ROWS=offline
unshare -n xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
    "$@"; rc=$?
    wineserver -k >/dev/null 2>&1 || true
    exit $rc' offline "$@"
