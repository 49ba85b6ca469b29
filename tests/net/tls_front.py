#!/usr/bin/env python3
"""TLS front for the tests' recording server: accepts TLS on a loopback port and passes the
decrypted bytes both ways to a plain backend on loopback. The certificate of each new
connection and the backend's port are read from ROUTE_FILE ("<name> <port>", the certificate
being DIR/<name>.pem with DIR/<name>.key), so a test switches between good and refused
certificates and between servers of its own without restarting the front.

Usage: tls_front.py DIR PORT ROUTE_FILE
Writes DIR/front.ready once listening."""
import os
import select
import socket
import ssl
import sys
import threading

cert_dir, port, route_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
contexts = {}


def context_for(name):
    if name not in contexts:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(f"{cert_dir}/{name}.pem", f"{cert_dir}/{name}.key")
        contexts[name] = ctx
    return contexts[name]


def relay(tls, back):
    # One thread per connection does every TLS call: an SSL object must not read in one thread
    # while another writes on it.
    try:
        while True:
            if not tls.pending():
                readable, _, _ = select.select([tls, back], [], [])
            else:
                readable = [tls]
            if tls in readable:
                data = tls.recv(65536)
                if not data:
                    break
                back.sendall(data)
            if back in readable:
                data = back.recv(65536)
                if not data:
                    break
                tls.sendall(data)
    except (OSError, ssl.SSLError):
        pass


def serve(raw, peer):
    # The client's address, so a test can tell a connection through the test proxy (which
    # connects from 127.0.0.2) from a direct one.
    with open(f"{cert_dir}/peer.{threading.get_ident()}", "w") as f:
        f.write(peer[0])
    os.replace(f"{cert_dir}/peer.{threading.get_ident()}", f"{cert_dir}/peer")
    try:
        with open(route_file) as f:
            name, backend_port = f.read().split()
    except (OSError, ValueError):
        raw.close()
        return
    raw.settimeout(30)  # a client that never finishes the handshake cannot hold a thread for ever
    try:
        tls = context_for(name).wrap_socket(raw, server_side=True)
    except (OSError, ssl.SSLError) as e:
        print("handshake failed", peer, e, flush=True)
        raw.close()  # refused by the client: nothing was decrypted, nothing goes on
        return
    tls.settimeout(None)
    print("handshake ok", peer, flush=True)
    try:
        back = socket.create_connection(("127.0.0.1", int(backend_port)))
    except OSError:
        tls.close()
        return
    relay(tls, back)
    tls.close()
    back.close()


def main():
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", port))
    srv.listen(16)
    open(f"{cert_dir}/front.ready", "w").close()
    while True:
        conn, peer = srv.accept()
        threading.Thread(target=serve, args=(conn, peer), daemon=True).start()


main()
