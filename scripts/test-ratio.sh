#!/usr/bin/env bash
# Prints the test source against the product's source, in lines, and their ratio (the owner's
# budget is 0.35). Source is every tracked file of these kinds; CMake lists and data files (golden
# bytes, expected output) count on neither side. With --check it fails when over the budget.
set -euo pipefail
cd "$(dirname "$0")/.."
kinds='\.(cpp|cc|cxx|h|hpp|c|inl|rc|py|sh|ps1|js)$'
count() { git ls-files -- "$@" | grep -E "$kinds" | tr '\n' '\0' | xargs -0 -r cat | wc -l; }
product=$(count app httpclient framework res)
tests=$(count tests)
ratio=$(awk -v t="$tests" -v p="$product" 'BEGIN { printf "%.3f", t / p }')
echo "test source: $tests lines; product source (app, httpclient, framework, res): $product lines; ratio $ratio (budget 0.35)"
if [ "${1:-}" = "--check" ]; then
    awk -v r="$ratio" 'BEGIN { exit !(r <= 0.35) }' || { echo "over the test budget" >&2; exit 1; }
fi
