#!/usr/bin/env python3
"""Runs the library's example programs once against the scenario server: what they send, print
and return. Usage: examples_test.py WINE_RUN UPLOAD_EXE POST_EXE"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scenario import Scenario

ENV = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}


def run(*cmd):
    p = subprocess.run(cmd, capture_output=True, env=ENV, timeout=300)
    return p.returncode, p.stdout.decode("latin-1").replace("\r\n", "\n"), p.stderr.decode("latin-1")


def main(wine_run, upload, post):
    content = bytes(range(256)) * 300  # more than one step
    with Scenario() as s, tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "crash 1.dmp")
        open(path, "wb").write(content)
        s.script({"status": "201 Created", "headers": [["Content-Type", "text/plain"]], "body": "stored"})
        got = [run(wine_run, upload, f"http://127.0.0.1:{s.port}/up.php", "Z:" + path.replace("/", "\\"))]
        got.append(run(wine_run, post, f"http://127.0.0.1:{s.port}/form?x=1"))
        up, form = s.wait(0), s.wait(1)
        got.append(run(wine_run, post, f"http://127.0.0.1:{s.port}:1/"))
    b = up.header("Content-Type").partition("boundary=")[2].encode()
    file_part = b'name="file"; filename="Z:%s"\r\nContent-Type: application/octet-stream\r\n\r\n' % (
        path.replace("/", "\\").encode())
    checks = [
        (got[0][0] == 0 and "sent 77150 of 77150 bytes\n201 Created\nstored" in got[0][1], got[0]),
        (up.request_line == "POST /up.php HTTP/1.1", up.request_line),
        (up.body == b"--%s\r\nContent-Disposition: form-data; %s%s\r\n--%s\r\nContent-Disposition: form-data; "
         b'name="note"\r\n\r\nsent by the upload example\r\n--%s--\r\n' % (b, file_part, content, b, b), up.raw[:600]),
        (got[1][0] == 0 and got[1][1].startswith("200 OK\n"), got[1]),
        (form.request_line == "POST /form?x=1 HTTP/1.1" and form.header("Content-Type") ==
         "application/x-www-form-urlencoded", form.raw),
        (form.body == b"comment=crashed+twice+%26+restarted&product=Quilla", form.body),
        (got[2][0] == 1 and "post failed: The port number is not valid. (error 107" in got[2][2], got[2]),
    ]
    failed = [f"check {i} failed: {what!r}" for i, (ok, what) in enumerate(checks) if not ok]
    print("\n".join(failed) or "examples: all checks passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
