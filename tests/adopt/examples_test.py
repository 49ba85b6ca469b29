#!/usr/bin/env python3
"""The library's examples once against the scenario server.
Usage: examples_test.py WINE_RUN UPLOAD POST"""
import os, subprocess, sys, tempfile  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from scenario import Scenario  # noqa: E402

ENV = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}  # no proxy
upload, post = sys.argv[2:4]
with Scenario() as s, tempfile.TemporaryDirectory() as tmp:
    path, url = os.path.join(tmp, "crash 1.dmp"), f"http://127.0.0.1:{s.port}"
    open(path, "wb").write(content := bytes(range(256)) * 300)  # more than one step
    s.script({"status": "201 Created", "headers": [["Content-Type", "text/plain"]],
              "body": "stored"})
    name = "Z:" + path.replace("/", "\\")  # :1 below is no valid port
    cmds = [(upload, url + "/up.php", name), (post, url + "/f?x=1"), (post, url + ":1")]
    run = dict(capture_output=True, env=ENV, timeout=300, encoding="latin-1")  # text: CR LF as LF
    runs = [subprocess.run([sys.argv[1], *c], **run) for c in cmds]  # under Wine
    up, form = s.wait(0), s.wait(1)
got = [(r.returncode, r.stdout, r.stderr) for r in runs]
b = up.header("Content-Type").partition("boundary=")[2].encode()
part = b'--%s\r\nContent-Disposition: form-data; name=%s\r\n\r\n%s\r\n'
file_header = b'"file"; filename="%s"\r\nContent-Type: application/octet-stream' % name.encode()
assert got[0][0] == 0 and "sent 77150 of 77150 bytes\n201 Created\nstored" in got[0][1], got[0]
assert up.request_line == "POST /up.php HTTP/1.1", up.request_line
parts = part % (b, file_header, content) + part % (b, b'"note"', b"sent by the upload example")
assert up.body == parts + b"--%s--\r\n" % b, up.raw[:600]
assert got[1][0] == 0 and got[1][1].startswith("200 OK\n"), got[1]
assert form.request_line == "POST /f?x=1 HTTP/1.1", form.request_line
assert form.header("Content-Type") == "application/x-www-form-urlencoded", form.raw
assert form.body == b"comment=crashed+twice+%26+restarted&product=Quilla", form.body
assert got[2][0] == 1, got[2]
assert "post failed: The port number is not valid. (error 107" in got[2][2], got[2]
