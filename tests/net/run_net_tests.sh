#!/usr/bin/env bash
# Runs the HTTPS and proxy tests in a copy of the build's prefix, so the throwaway test CA and
# the proxy settings never reach the other tests. Around the test exe it makes the CA and the
# server certificates, starts the TLS front of the recording server on the port compiled into
# the https reporter, and a squid of its own (one open port, one asking for a Basic account).
# Usage: run_net_tests.sh TEST_EXE BUILD_DIR TLS_PORT [gtest args...]
set -euo pipefail
exe="$1"; build="$2"; tls_port="$3"; shift 3
here=$(cd "$(dirname "$0")" && pwd)
scripts=$(cd "$here/../../scripts" && pwd)
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

work=$(mktemp -d /tmp/quilla-net.XXXXXX)
chmod 755 "$work"  # squid's helpers run as user proxy
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true
    [ -n "${QUILLA_NET_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# ---- certificates: a CA trusted in the copy, one that is not, and leaves signed by them ----
. "$scripts/tls-env.sh"
quilla_make_ca "$work" ca "Quilla Test CA"
quilla_make_ca "$work" stranger "Quilla Stranger CA"
quilla_make_leaf "$work" valid ca localhost
quilla_make_leaf "$work" expired ca localhost 20200101000000Z 20200201000000Z
quilla_make_leaf "$work" otherhost ca other.example
quilla_make_leaf "$work" untrusted stranger localhost

# ---- the prefix copy, trusting the test CA ----
export QUILLA_BUILD_DIR="$build"
. "$scripts/wine-env.sh"
quilla_wine_prefix
cp -a "$build/wineprefix" "$work/prefix"
export WINEPREFIX="$work/prefix"
wineserver -p 60
quilla_trust_ca "$work/ca.pem"
wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings' /v ProxyEnable /f >/dev/null 2>&1 || true

# ---- squid on two free loopback ports ----
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {  # PORT PID: true once something accepts on PORT, false if PID ended or after 20 s
    local i
    for i in $(seq 200); do
        kill -0 "$2" 2>/dev/null || return 1
        python3 -c 'import socket,sys; socket.create_connection(("127.0.0.1",int(sys.argv[1])),1).close()' "$1" \
            2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}
mkdir "$work/squid"
cd "$work"
proxy_user=reporter proxy_pass="pw-$RANDOM$RANDOM"
printf '%s:%s\n' "$proxy_user" "$(openssl passwd -apr1 "$proxy_pass")" >squid/htpasswd
ncsa=/usr/lib/squid/basic_ncsa_auth
if [ "$(id -u)" -eq 0 ]; then chown -R proxy squid; fi
squid_ok=
for attempt in 1 2 3; do
    open_port=$(free_port) auth_port=$(free_port)
    cat >squid/squid.conf <<CNF
http_port 127.0.0.1:$open_port name=open
http_port 127.0.0.1:$auth_port name=auth
pid_filename $work/squid/squid.pid
access_log stdio:$work/squid/access.log
cache_log $work/squid/cache.log
cache_store_log none
coredump_dir $work/squid
cache deny all
pinger_enable off
cache_effective_user proxy
hosts_file /etc/hosts
dns_nameservers 127.0.0.1
auth_param basic program $ncsa $work/squid/htpasswd
auth_param basic children 2
auth_param basic realm quilla-test
acl openport myportname open
acl authport myportname auth
acl account proxy_auth REQUIRED
http_access allow openport
http_access allow authport account
http_access deny all
via on
# squid 5.7 drops a client whose request body outruns a slower server by more than this buffer.
client_request_buffer_max_size 64 MB
tcp_outgoing_address 127.0.0.2
forwarded_for delete
# After a 407 the body that follows is read as the next request: do not wait long on it.
client_idle_pconn_timeout 2 seconds
request_timeout 5 seconds
read_timeout 15 seconds
shutdown_lifetime 0 seconds
CNF
    squid -N -f squid/squid.conf >squid/stdout.log 2>&1 &
    squid_pid=$!
    pids+=("$squid_pid")
    if wait_port "$open_port" "$squid_pid" && wait_port "$auth_port" "$squid_pid"; then squid_ok=1; break; fi
    kill "$squid_pid" 2>/dev/null || true; wait "$squid_pid" 2>/dev/null || true
done
[ -n "$squid_ok" ] || { echo "squid did not start:"; cat squid/stdout.log squid/cache.log; exit 1; }

# ---- the TLS front on the https reporter's port ----
python3 "$here/tls_front.py" "$work" "$tls_port" "$work/route" >front.log 2>&1 &
pids+=("$!")
wait_port "$tls_port" "$!" || { echo "TLS front did not start on $tls_port:"; cat front.log; exit 1; }

export QUILLA_NET_DIR="$work" QUILLA_TLS_PORT="$tls_port" QUILLA_PROXY_PORT="$open_port" \
    QUILLA_AUTH_PROXY_PORT="$auth_port" QUILLA_PROXY_USER="$proxy_user" QUILLA_PROXY_PASS="$proxy_pass"
export WINEDEBUG=-all WINEARCH=win32 WINEDLLOVERRIDES="mscoree,mshtml="
wine cmd /c exit </dev/null >/dev/null 2>&1 || true
# A display of its own: the reporters' dialogs must not cover those of tests that look at pixels.
rc=0
xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" "$@" || rc=$?
[ $rc -eq 0 ] || { echo "--- squid access log"; cat squid/access.log 2>/dev/null || true; }
exit $rc
