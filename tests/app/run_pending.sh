#!/usr/bin/env bash
# The kept-report tests: the server-down case first, with nothing on the report port, then the
# rest against the scenario server on it. Usage: run_pending.sh TEST_EXE REPORT_PORT
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
"$root/scripts/wine-run.sh" "$1" --gtest_filter='PendingDown.*'
python3 "$root/tests/support/scenario.py" --port "$2" -- "$root/scripts/wine-run.sh" "$1" --gtest_filter='Pending.*'
