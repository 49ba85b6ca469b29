#!/usr/bin/env bash
# Runs a command inside one warm Wine session of the build tree's prefix.
# Wine's own service processes are started here, detached from the command's output pipes:
# started by the first test instead, they would inherit ctest's pipes and hold it open.
set -euo pipefail
. "$(dirname "$0")/wine-env.sh"
quilla_wine_prefix
wineserver -p 30
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
"$@"
