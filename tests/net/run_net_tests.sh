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
cd "$work"
cat >ca.cnf <<CNF
[ca]
default_ca = tca
[tca]
database = $work/index.txt
new_certs_dir = $work
serial = $work/serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = supplied
CNF
: >index.txt
echo 01 >serial
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; "$@"; exit 1; }; }
make_ca() {
    quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
# make_leaf NAME CA HOST START END
make_leaf() {
    quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$3" \
        -addext "subjectAltName=DNS:$3"
    quiet openssl ca -batch -notext -config ca.cnf -cert "$2.pem" -keyfile "$2.key" -in "$1.csr" -out "$1.pem" \
        -startdate "$4" -enddate "$5"
}
now=$(date -u +%s)
stamp() { date -u -d "@$1" +%Y%m%d%H%M%SZ; }
make_ca ca "Quilla Test CA"
make_ca stranger "Quilla Stranger CA"
make_leaf valid ca localhost "$(stamp $((now - 3600)))" "$(stamp $((now + 86400)))"
make_leaf expired ca localhost 20200101000000Z 20200201000000Z
make_leaf otherhost ca other.example "$(stamp $((now - 3600)))" "$(stamp $((now + 86400)))"
make_leaf untrusted stranger localhost "$(stamp $((now - 3600)))" "$(stamp $((now + 86400)))"

# ---- the prefix copy, trusting the test CA ----
export QUILLA_BUILD_DIR="$build"
. "$scripts/wine-env.sh"
quilla_wine_prefix
cp -a "$build/wineprefix" "$work/prefix"
export WINEPREFIX="$work/prefix"
openssl x509 -in ca.pem -outform DER -out ca.der
thumb=$(openssl x509 -in ca.pem -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr a-f A-F)
blob=$(python3 -c 'import sys,struct; d=open(sys.argv[1],"rb").read(); print((struct.pack("<III",0x20,1,len(d))+d).hex())' ca.der)
wineserver -p 60
wine reg add "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumb" \
    /v Blob /t REG_BINARY /d "$blob" /f >/dev/null 2>&1
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
mkdir squid
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
cache_mem 4 MB
pinger_enable off
cache_effective_user proxy
hosts_file /etc/hosts
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
rc=0
if [ -z "${DISPLAY:-}" ]; then
    xvfb-run -a -s "-screen 0 1024x768x24" wine "$exe" "$@" || rc=$?
else
    wine "$exe" "$@" || rc=$?
fi
[ $rc -eq 0 ] || { echo "--- squid access log"; cat squid/access.log 2>/dev/null || true; }
exit $rc
