#!/usr/bin/env bash
# The reporter's whole job on this machine: installs what is missing, builds the reporter for a
# local report receiver, starts the receiver, and starts the reporter as the crashed product
# would (with a sample crash file and hand-off) in Wine's virtual desktop. With a display you
# press "发送报告" yourself; without one it runs under Xvfb, leaves a screenshot of the dialog
# in build/demo/ and presses the button itself. Ends by printing where the stored report is and
# the reporter's debugger output.
# The report goes over HTTPS to https://localhost with a throwaway CA that only the demo's own
# copy of the prefix trusts; --http sends it over plain HTTP instead.
#   QUILLA_DEMO_LOCALE=zh_CN.UTF-8 bash scripts/run-demo.sh   runs it under ANSI code page 936.
. "$(dirname "$0")/prelude.sh"
scheme=https
for arg in "$@"; do
    case "$arg" in
        --http) scheme=http ;;
        *) echo "usage: run-demo.sh [--http]" >&2; exit 2 ;;
    esac
done

if [ -z "${QUILLA_DEMO_INNER:-}" ]; then
    quilla_setup_and_build
    if [ -z "${DISPLAY:-}" ]; then
        QUILLA_DEMO_INNER=headless quilla_with_display bash "$root/scripts/run-demo.sh" "$@"
        exit
    fi
    export QUILLA_DEMO_INNER=display
fi

. scripts/wine-env.sh
quilla_wine_prefix
locale_name="${QUILLA_DEMO_LOCALE:-C.UTF-8}"
demo="$QUILLA_BUILD_DIR/demo"
rm -rf "$demo/reports" "$demo/output.txt" "$demo/driver.txt" "$demo/tls" "$demo/wineprefix"
mkdir -p "$demo"
receiver_args=()
if [ "$scheme" = http ]; then
    # The port of the report URL compiled in (scripts/build.sh: 18080).
    port=$(sed -n 's|^QUILLA_REPORT_URL:STRING=http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$QUILLA_BUILD_DIR/CMakeCache.txt")
    reporter="$QUILLA_BUILD_DIR/app/crashreport.exe"
else
    # The test build's https reporter, and a CA of the demo's own trusted in a copy of the prefix.
    port=$(sed -n 's/^QUILLA_TEST_HTTPS_PORT:STRING=//p' "$QUILLA_BUILD_DIR/CMakeCache.txt")
    reporter="$QUILLA_BUILD_DIR/tests/net/https/crashreport.exe"
    . scripts/tls-env.sh
    mkdir -p "$demo/tls"
    quilla_make_ca "$demo/tls" ca "Quilla Demo CA"
    quilla_make_leaf "$demo/tls" localhost ca localhost
    cp -a "$WINEPREFIX" "$demo/wineprefix"
    export WINEPREFIX="$demo/wineprefix"
    quilla_trust_ca "$demo/tls/ca.pem"
    receiver_args=(--cert "$demo/tls/localhost.pem" --key "$demo/tls/localhost.key")
fi
to_win() { printf 'Z:%s' "$1" | tr / '\\'; }

# A sample crash file: a minidump signature and 64 KiB of every byte value.
python3 -c 'import sys; sys.stdout.buffer.write(b"MDMP\x93\xa7" + bytes(i * 7 % 256 for i in range(65536)))' \
    >"$demo/crash.dmp"

python3 scripts/report_receiver.py --port "$port" --store "$demo/reports" "${receiver_args[@]}" \
    >"$demo/receiver.log" 2>&1 &
receiver=$!
# The https run's prefix copy (the only one trusting the demo CA) goes with the demo.
trap 'kill $receiver 2>/dev/null || true; wineserver -k >/dev/null 2>&1 || true
      [ "$scheme" = http ] || rm -rf "$demo/wineprefix"' EXIT
for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
    sleep 0.1
done

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

# The crashed product's part: the hand-off (in the locale's ANSI code page) on the reporter's
# command line, the reporter started as the driver's debuggee; headless, the driver presses send.
hand_off=$(LC_ALL="$locale_name" python3 -c '
import sys
codec = "gbk" if sys.argv[1].startswith("zh_CN") else "cp1252"
exe = "Z:" + sys.argv[2].replace("/", "\\")
line = "\"%s\" " % exe + "".join(e.replace("=", ":", 1) + "\r\n\t" for e in sys.argv[3:])
print(line.encode(codec).hex())' "$locale_name" "$reporter" "${entries[@]}")
actions=(dialog)
[ "$QUILLA_DEMO_INNER" = headless ] && actions+=(pause:4000 click:1000)
LC_ALL="$locale_name" wine explorer /desktop=Quilla,720x400 "$QUILLA_BUILD_DIR/tests/app/reporter_driver.exe" \
    --output "$(to_win "$demo/driver.txt")" "$(to_win "$reporter")" "$hand_off" "${actions[@]}" >/dev/null 2>&1 &

if [ "$QUILLA_DEMO_INNER" = headless ]; then
    sleep 3
    xwd -root -silent | convert xwd:- -crop 720x400+0+0 +repage "$shot"
    echo "screenshot of the dialog: $shot"
else
    echo "The crash report dialog is open in Wine's desktop window: press 发送报告 (or cancel)."
fi
for _ in $(seq 600); do
    [ -f "$demo/driver.txt" ] && break
    sleep 0.5
done
sleep 0.5
# The driver's "out" lines are the reporter's debugger output texts, in hex.
python3 -c '
import sys
for line in open(sys.argv[1]):
    kind, _, value = line.rstrip("\n").partition(" ")
    if kind == "out":
        sys.stdout.buffer.write(bytes.fromhex(value) + b"\n")' "$demo/driver.txt" >"$demo/output.txt" 2>/dev/null || true

echo
if stored=$(ls -d "$demo"/reports/*/ 2>/dev/null | tail -n 1) && [ -n "$stored" ]; then
    echo "The report server ($scheme port $port) stored the report in: $stored"
    ls -l "$stored"
    file=$(ls "$stored" | grep -v '^request.txt$' | head -n 1)
    if cmp -s "$demo/crash.dmp" "$stored/$file"; then
        echo "The stored crash file is identical to the one sent ($(stat -c %s "$demo/crash.dmp") bytes)."
    fi
    echo "--- request head as received ---"
    cat "$stored/request.txt"
else
    echo "No report reached the server."
fi
echo
echo "--- the reporter's debugger output ---"
cat "$demo/output.txt" 2>/dev/null || echo "(none: the reporter did not end)"
