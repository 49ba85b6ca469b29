#!/usr/bin/env bash
# Runs the reporter's offline rows in a network namespace without interfaces, where Wine reports
# the machine offline. Wine's server must start inside the namespace to see it that way, so the
# run gets a prefix of its own (and so its own server): the build's, its files shared (nothing
# writes to one in place) but for the registry, which that server rewrites.
# Usage: offline.sh BUILD_DIR RUNNER...
set -euo pipefail
build="$1"; shift
if ! unshare -n true 2>/dev/null; then
    echo "unshare -n is not permitted here (needs root): offline case not run"
    exit 77
fi
prefix=$(mktemp -d "$build/offline-prefix.XXXXXX")
cleanup() { WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$prefix"; }
trap cleanup EXIT
cp -al "$build/wineprefix/." "$prefix"
for reg in "$prefix"/*.reg; do cp --remove-destination "$build/wineprefix/${reg##*/}" "$reg"; done
export WINEPREFIX_OVERRIDE="$prefix" QUILLA_ROWS=offline
unshare -n xvfb-run -a -s "-screen 0 1024x768x24" \
    bash "$(dirname "$0")/../../scripts/wine-session.sh" "$@"
