#!/usr/bin/env bash
# Installs what is missing, builds the reporter and starts it as the crashed product would, with a
# sample crash hand-off, in Wine's virtual desktop. Without a display it runs under Xvfb, leaves a
# screenshot in build/demo/ and ends; with one, the dialog waits for you.
#   QUILLA_DEMO_LOCALE=zh_CN.UTF-8 bash scripts/run-demo.sh   runs it under ANSI code page 936.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

export QUILLA_BUILD_DIR="$root/build"
bash scripts/build.sh "$QUILLA_BUILD_DIR" -DQUILLA_WERROR=ON -DQUILLA_BUILD_TESTS=ON \
    -DQUILLA_REPORT_URL=http://127.0.0.1:18080/vorlex.php

if [ -z "${QUILLA_DEMO_INNER:-}" ] && [ -z "${DISPLAY:-}" ]; then
    QUILLA_DEMO_INNER=1 exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi

. scripts/wine-env.sh
quilla_wine_prefix
locale_name="${QUILLA_DEMO_LOCALE:-C.UTF-8}"
demo="$QUILLA_BUILD_DIR/demo"
mkdir -p "$demo"
printf 'MDMP sample crash dump\n' >"$demo/crash.dmp"
to_win() { printf 'Z:%s' "$1" | tr / '\\'; }

entries=(
    "crash file=$(to_win "$demo/crash.dmp")"
    "module=$(to_win "$QUILLA_BUILD_DIR/tests/app/restart_probe.exe")"
    "except=EXCEPTION_ACCESS_VIOLATION"
    "addr=0x0040A1B2"
    "version=1.0.3"
)
if [[ "$locale_name" == zh_CN* ]]; then
    entries+=("code=读取地址 0x00000000 时发生访问冲突")   # 8-bit text in code page 936
    shot="$demo/crashreport-acp936.png"
else
    entries+=("code=Read of address 0x00000000")
    shot="$demo/crashreport-acp1252.png"
fi

LC_ALL="$locale_name" wine explorer /desktop=Quilla,720x400 \
    "$QUILLA_BUILD_DIR/tests/app/crash_sim.exe" "$QUILLA_BUILD_DIR/app/crashreport.exe" "${entries[@]}" &
desktop=$!

if [ -n "${QUILLA_DEMO_INNER:-}" ]; then
    sleep 6
    xwd -root -silent | convert xwd:- -crop 720x400+0+0 +repage "$shot"
    echo "screenshot: $shot"
    wineserver -k || true
    wait "$desktop" 2>/dev/null || true
else
    echo "The crash report dialog is open in Wine's desktop window; close it to end."
    wait "$desktop"
fi
