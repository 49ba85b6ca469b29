#!/usr/bin/env bash
# Builds the reporter that ships with the product, for the product's report URL: optimised,
# static, stripped, in dist/crashreport.exe, with its symbols in dist/crashreport.exe.debug.
# Usage: build-release.sh REPORT_URL    (e.g. https://reports.example.com/vorlex.php)
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 REPORT_URL" >&2
    exit 2
fi
url="$1"
. "$(dirname "$0")/prelude.sh"
bash scripts/setup.sh
rm -rf "$root/dist"   # never leave an exe for another URL behind a failed build
bdir="$root/build-release"
cmake -S "$root" -B "$bdir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLA_WERROR=ON -DQUILLA_BUILD_TESTS=OFF -DQUILLA_REPORT_URL="$url" >/dev/null
cmake --build "$bdir" --target crashreport_ship
mkdir -p "$root/dist"
cp "$bdir/ship/crashreport.exe" "$bdir/ship/crashreport.exe.debug" "$root/dist/"
echo
echo "dist/crashreport.exe         $(stat -c %s dist/crashreport.exe) bytes"
echo "dist/crashreport.exe.debug   $(stat -c %s dist/crashreport.exe.debug) bytes (its symbols)"
echo "report URL: $url"
echo "version:    $(cat "$bdir/version.txt")"
