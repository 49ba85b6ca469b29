# Sourced: a throwaway certificate authority for loopback HTTPS, and trusting it in one Wine
# prefix (never on the host). Needs openssl and python3.

# quilla_make_ca DIR NAME CN: DIR/NAME.pem and DIR/NAME.key, valid for two days.
quilla_make_ca() {
    _quilla_tls_quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1/$2.key" -out "$1/$2.pem" -days 2 \
        -subj "/CN=$3" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}

# quilla_make_leaf DIR NAME CA HOST [START END]: DIR/NAME.pem and DIR/NAME.key for HOST, signed by
# DIR/CA.pem; START and END as YYYYMMDDHHMMSSZ (default: from an hour ago for a day).
quilla_make_leaf() {
    local dir="$1" name="$2" ca="$3" host="$4" now
    now=$(date -u +%s)
    local start="${5:-$(date -u -d "@$((now - 3600))" +%Y%m%d%H%M%SZ)}"
    local end="${6:-$(date -u -d "@$((now + 86400))" +%Y%m%d%H%M%SZ)}"
    if [ ! -f "$dir/ca.cnf" ]; then
        printf '%s\n' "[ca]" "default_ca = tca" "[tca]" "database = $dir/index.txt" "new_certs_dir = $dir" \
            "serial = $dir/serial" "default_md = sha256" "policy = any" "copy_extensions = copy" \
            "unique_subject = no" "[any]" "commonName = supplied" >"$dir/ca.cnf"
        : >"$dir/index.txt"
        echo 01 >"$dir/serial"
    fi
    _quilla_tls_quiet openssl req -new -newkey rsa:2048 -nodes -keyout "$dir/$name.key" -out "$dir/$name.csr" \
        -subj "/CN=$host" -addext "subjectAltName=DNS:$host"
    _quilla_tls_quiet openssl ca -batch -notext -config "$dir/ca.cnf" -cert "$dir/$ca.pem" -keyfile "$dir/$ca.key" \
        -in "$dir/$name.csr" -out "$dir/$name.pem" -startdate "$start" -enddate "$end"
}

# quilla_trust_ca PEM: adds the certificate to the machine's Root store of $WINEPREFIX. Wine reads
# this one registry value at once; the host's own trust store is not touched.
quilla_trust_ca() {
    local thumb blob
    thumb=$(openssl x509 -in "$1" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr a-f A-F)
    blob=$(openssl x509 -in "$1" -outform DER | python3 -c 'import sys, struct
d = sys.stdin.buffer.read()
print((struct.pack("<III", 0x20, 1, len(d)) + d).hex())')
    wine reg add "HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$thumb" \
        /v Blob /t REG_BINARY /d "$blob" /f >/dev/null 2>&1
}

_quilla_tls_quiet() {
    local out
    out=$("$@" 2>&1) || { echo "failed: $*" >&2; echo "$out" >&2; return 1; }
}
