#!/usr/bin/env bash
# Builds the reporter that ships with the product, for the product's report URL: optimised,
# static, stripped, in dist/crashreport.exe, with its symbols in dist/crashreport.exe.debug.
# Needs only the build tools (installs them if missing); a failed build leaves dist/ as it was.
# Usage: build-release.sh REPORT_URL    (e.g. https://reports.example.com/vorlex.php)
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 REPORT_URL" >&2
    exit 2
fi
url="$1"
. "$(dirname "$0")/prelude.sh"
bash scripts/setup.sh --build-only
bdir="$root/build-release"
stage="$root/dist.staging"
rm -rf "$stage"
trap '[ -d "$stage" ] && rm -rf "$stage"; echo "release build failed: dist/ keeps the last good build" >&2' ERR
cmake -S "$root" -B "$bdir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUILLA_WERROR=ON -DQUILLA_BUILD_TESTS=OFF -DQUILLA_BUILD_EXAMPLES=OFF -DQUILLA_REPORT_URL="$url" >/dev/null
cmake --build "$bdir" --target crashreport_ship
mkdir "$stage"
cp "$bdir/ship/crashreport.exe" "$bdir/ship/crashreport.exe.debug" "$stage/"
# The URL as the exe's version resource names it (ReportURL), read back from the exe itself.
shipped_url=$(i686-w64-mingw32-strings -el "$stage/crashreport.exe" | grep -A1 -x ReportURL | tail -n 1)
[ "$shipped_url" = "$url" ] || { echo "the exe names $shipped_url, not $url" >&2; false; }
rm -rf "$root/dist.old"
[ ! -d "$root/dist" ] || mv "$root/dist" "$root/dist.old"
mv "$stage" "$root/dist"
rm -rf "$root/dist.old"
trap - ERR
echo
echo "dist/crashreport.exe         $(stat -c %s dist/crashreport.exe) bytes"
echo "dist/crashreport.exe.debug   $(stat -c %s dist/crashreport.exe.debug) bytes (its symbols)"
echo "report URL: $shipped_url (the exe's version resource, ReportURL)"
echo "version:    $(cat "$bdir/version.txt")"
