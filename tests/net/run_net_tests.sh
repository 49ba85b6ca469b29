#!/usr/bin/env bash
# The HTTPS and proxy harness: sets up real peers, runs each COMMAND (a shell command line) in
# turn with them, stops everything and exits non-zero if any command failed.
# Usage: run_net_tests.sh BUILD_DIR COMMAND...
# A command finds in its environment (*_proxy cleared):
#   WINEPREFIX          a prefix of its own trusting a throwaway CA (run programs with `wine`)
#   QUILLA_NET_DIR      ca.pem and valid/expired/otherhost/untrusted .pem+.key for localhost
#                       (otherhost: other.example; untrusted: another CA)
#   QUILLA_SCENARIO_PY  tests/support/scenario.py; QUILLA_SCENARIO_PORT, QUILLA_STANDIN_PORT: two
#                       plain scenario servers; QUILLA_TLS_<CERT>_PORT: one with that certificate
#                       (also plain control)
#   QUILLA_PROXY_PORT, QUILLA_AUTH_PROXY_PORT: squid, open and asking for Basic auth, as
#                       QUILLA_PROXY_USER with QUILLA_PROXY_PASS
set -euo pipefail
build="$1"; shift
here=$(cd "$(dirname "$0")" && pwd)
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

work=$(mktemp -d /tmp/quilla-net.XXXXXX)
chmod 755 "$work"  # squid's helpers run as user proxy
prefix=$(mktemp -d "$build/net-prefix.XXXXXX")
pids=()
cleanup() {
    kill "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work" "$prefix"
}
trap cleanup EXIT

. "$here/../../scripts/tls-env.sh"
quilla_make_ca "$work" ca "Quilla Test CA"
quilla_make_ca "$work" stranger "Quilla Stranger CA"
quilla_make_leaf "$work" valid ca localhost
quilla_make_leaf "$work" expired ca localhost 20200101000000Z 20200201000000Z
quilla_make_leaf "$work" otherhost ca other.example
quilla_make_leaf "$work" untrusted stranger localhost

export QUILLA_BUILD_DIR="$build"
. "$here/../../scripts/wine-env.sh"
quilla_wine_prefix
# The build's prefix, its files shared (nothing here writes to one in place) but for the registry,
# which this copy's own Wine server rewrites: the CA and the proxy settings stay in the copy.
cp -al "$build/wineprefix/." "$prefix"
for reg in "$prefix"/*.reg; do cp --remove-destination "$build/wineprefix/${reg##*/}" "$reg"; done
export WINEPREFIX="$prefix"
wineserver -p 60
quilla_trust_ca "$work/ca.pem"
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
wine reg delete "$settings" /v ProxyEnable /f >/dev/null 2>&1 || true

# A waiting loop that ends on a state: a port accepts, a file has its line, or the process died.
wait_for() {  # PID TEST-COMMAND...
    local pid="$1"; shift
    for _ in $(seq 400); do
        "$@" 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}
accepts() { : <>"/dev/tcp/127.0.0.1/$1"; }
export QUILLA_SCENARIO_PY="$here/../support/scenario.py"
# QUILLA_<var>_PORT: plain servers, then one with each certificate.
for var in SCENARIO STANDIN TLS_VALID TLS_EXPIRED TLS_OTHERHOST TLS_UNTRUSTED; do
    cert="${var#TLS_}" tls=()
    if [ "$cert" != "$var" ]; then tls=(--tls "$work/${cert,,}.pem" "$work/${cert,,}.key"); fi
    python3 "$QUILLA_SCENARIO_PY" "${tls[@]}" >"$work/$var" 2>&1 &
    pids+=("$!")
    wait_for "$!" grep -q '^[0-9]' "$work/$var" || { echo "$var:"; cat "$work/$var"; exit 1; }
    export "QUILLA_${var}_PORT=$(head -1 "$work/$var")"
done

mkdir "$work/squid"
proxy_user=reporter proxy_pass="pw-$RANDOM$RANDOM"
printf '%s:%s\n' "$proxy_user" "$(openssl passwd -apr1 "$proxy_pass")" >"$work/squid/htpasswd"
if [ "$(id -u)" -eq 0 ]; then chown -R proxy "$work/squid"; fi
free_port() {
    python3 -c 'import socket; print(socket.create_server(("127.0.0.1", 0)).getsockname()[1])'
}
for attempt in 1 2 3; do
    open_port=$(free_port) auth_port=$(free_port)
    sed -e "s|@WORK@|$work|g" -e "s|@OPEN@|$open_port|" -e "s|@AUTH@|$auth_port|" \
        "$here/squid.conf.in" >"$work/squid/squid.conf"
    squid -N -f "$work/squid/squid.conf" >"$work/squid/stdout.log" 2>&1 &
    squid_pid=$!
    pids+=("$squid_pid")
    wait_for $squid_pid accepts $open_port && wait_for $squid_pid accepts $auth_port && break
    kill "$squid_pid" 2>/dev/null || true
    [ $attempt -lt 3 ] || { echo "squid did not start:"; cat "$work"/squid/*.log; exit 1; }
done
export QUILLA_NET_DIR="$work" QUILLA_PROXY_PORT="$open_port" QUILLA_AUTH_PROXY_PORT="$auth_port" \
    QUILLA_PROXY_USER="$proxy_user" QUILLA_PROXY_PASS="$proxy_pass"
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

rc=0
for cmd in "$@"; do
    if ! bash -c "$cmd"; then
        rc=1; echo "--- failed: $cmd"; cat "$work/squid/access.log" 2>/dev/null || true
    fi
done
exit $rc
