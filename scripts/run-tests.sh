#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine (+ Xvfb).
. "$(dirname "$0")/prelude.sh"
quilla_setup_and_build
bash scripts/test-ratio.sh
quilla_with_display bash scripts/wine-session.sh ctest --test-dir "$QUILLA_BUILD_DIR" --output-on-failure "$@"
