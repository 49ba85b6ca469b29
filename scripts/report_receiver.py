#!/usr/bin/env python3
"""A small local report receiver: accepts the reporter's upload at /vorlex.php.

Each report is stored in its own folder below the storage directory:
  <n>-<version>/<uploaded file name>   the crash file, byte for byte
  <n>-<version>/request.txt           request line and headers as received
Answers with a short text/plain body. Loopback only. With --cert and --key it speaks HTTPS.
"""
import argparse
import http.server
import os
import re
import ssl
import sys
import threading
import urllib.parse


class Receiver(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QuillaReportReceiver/1.0"

    def log_message(self, fmt, *args):
        sys.stderr.write("receiver: " + (fmt % args) + "\n")

    def _answer(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        url = urllib.parse.urlsplit(self.path)
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        if url.path != "/vorlex.php":
            self._answer(404, "no such report endpoint\n")
            return
        version = urllib.parse.parse_qs(url.query).get("version", [""])[0]
        m = re.search(r'boundary=([^;\s]+)', self.headers.get("Content-Type", ""))
        if not m:
            self._answer(400, "expected multipart/form-data\n")
            return
        parts = parse_multipart(body, m.group(1).encode("latin-1"))
        crash = next((p for p in parts if p["name"] == b"file"), None)
        if crash is None:
            self._answer(400, "missing form field 'file'\n")
            return
        folder = self.server.store_report(version, self.requestline, self.headers, crash)
        self._answer(200, "report received: %d bytes, version %s\nstored in %s\n"
                     % (len(crash["data"]), version or "(none)", folder))


def parse_multipart(body, boundary):
    parts = []
    delimiter = b"--" + boundary
    for chunk in body.split(delimiter)[1:]:
        if chunk.startswith(b"--"):
            break
        head, _, data = chunk.partition(b"\r\n\r\n")
        if data.endswith(b"\r\n"):
            data = data[:-2]
        name = re.search(rb'name="([^"]*)"', head)
        filename = re.search(rb'filename="([^"]*)"', head)
        parts.append({"name": name.group(1) if name else b"",
                      "filename": filename.group(1) if filename else None,
                      "data": data})
    return parts


class ReceiverServer(http.server.ThreadingHTTPServer):
    def __init__(self, address, store_dir):
        super().__init__(address, Receiver)
        self.store_dir = store_dir
        self.lock = threading.Lock()
        os.makedirs(store_dir, exist_ok=True)

    def store_report(self, version, requestline, headers, part):
        with self.lock:
            n = len(os.listdir(self.store_dir)) + 1
            safe_version = re.sub(r"[^A-Za-z0-9._-]", "_", version) or "noversion"
            folder = os.path.join(self.store_dir, "%03d-%s" % (n, safe_version))
            os.makedirs(folder)
        # The uploaded name is a Windows path in the sender's code page: keep its last component.
        raw = (part["filename"] or b"crash.bin").replace(b"\\", b"/").split(b"/")[-1]
        name = re.sub(r"[^A-Za-z0-9._-]", "_", raw.decode("latin-1")) or "crash.bin"
        with open(os.path.join(folder, name), "wb") as f:
            f.write(part["data"])
        with open(os.path.join(folder, "request.txt"), "w", encoding="utf-8") as f:
            f.write(requestline + "\n" + str(headers))
        return folder


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--port", type=int, default=18080)
    ap.add_argument("--store", default="reports")
    ap.add_argument("--cert", help="PEM certificate chain: serve HTTPS")
    ap.add_argument("--key", help="PEM private key of --cert")
    args = ap.parse_args()
    server = ReceiverServer(("127.0.0.1", args.port), args.store)
    scheme = "http"
    if args.cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        server.socket = ctx.wrap_socket(server.socket, server_side=True)
        scheme = "https"
    print("receiver: listening on %s://127.0.0.1:%d/vorlex.php, storing in %s"
          % (scheme, args.port, os.path.abspath(args.store)), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
