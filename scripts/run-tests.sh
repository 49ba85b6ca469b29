#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test under Wine (+ Xvfb).
. "$(dirname "$0")/prelude.sh"
quilla_setup_and_build
bash scripts/test-ratio.sh
# Two at a time: the tests mostly wait (on Wine's start-up, dialogs, servers), and the ones that
# share the screen, the report port and the product's stand-in hold one lock (tests/app).
quilla_with_display bash scripts/wine-session.sh ctest --test-dir "$QUILLA_BUILD_DIR" --output-on-failure -j2 "$@"
