#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine (+ Xvfb).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

export QUILLA_BUILD_DIR="$root/build"
bash scripts/build.sh "$QUILLA_BUILD_DIR"

xvfb-run -a -s "-screen 0 1280x1024x24" bash scripts/wine-session.sh \
    ctest --test-dir "$QUILLA_BUILD_DIR" --output-on-failure "$@"
