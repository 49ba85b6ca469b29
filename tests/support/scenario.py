#!/usr/bin/env python3
"""The tests' loopback HTTP(S) server: answers from a script, records every request's raw bytes.

    with Scenario(port=0, tls=None) as s:      # tls=(certfile, keyfile) serves HTTPS
        s.script({"status": "503 Service Unavailable", "body": "busy"})   # used once each, in order
        s.default({...})                        # when the queue is empty (default: 200 OK, empty)
        r = s.wait(0)                           # r.raw, r.complete, r.request_line, r.header(), r.body

Answer keys (all optional): status, headers [[name, value]...], body (str latin-1 or bytes),
chunked (chunk size), no_length, delay_ms, stall_after_body + stall_ms, close_after_body,
send_body_bytes, stall_after_head, endless, keep_alive. Requests under /_ctl/ control the server
over HTTP (script, default, request/N, count, reset) for tests running under Wine.

CLI: scenario.py [--port N] [--tls CERT KEY] [-- CMD ARGS...]: runs CMD with QUILLA_SCENARIO_PORT
set and exits with its code; without CMD, prints the port and serves until killed."""
import json
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import threading


class Request:
    def __init__(self, raw, complete):
        self.raw, self.complete = bytes(raw), complete
        head, _, self.body = self.raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        self.request_line = lines[0]
        self.headers = [tuple(x.strip() for x in l.split(":", 1)) for l in lines[1:] if ":" in l]

    def header(self, name, i=0):
        found = [v for n, v in self.headers if n.lower() == name.lower()]
        return found[i] if i < len(found) else None


def _bytes(v):
    return v.encode("latin-1") if isinstance(v, str) else bytes(v)


class Scenario:
    def __init__(self, port=0, tls=None):
        self._lock = threading.Condition()
        self._stop = threading.Event()
        self._conns, self._threads = set(), []
        self._ctx = None
        if tls:
            self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._ctx.load_cert_chain(*tls)
        self._listen = socket.socket()
        if port:  # a fixed port is reused run after run; old connections may sit in TIME_WAIT
            self._listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listen.bind(("127.0.0.1", port))
        self._listen.listen(64)
        self.port = self._listen.getsockname()[1]
        self.reset()
        self._accepter = threading.Thread(target=self._accept, daemon=True)
        self._accepter.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        try:
            self._listen.shutdown(socket.SHUT_RDWR)  # wakes accept()
        except OSError:
            pass
        self._listen.close()
        with self._lock:
            self._lock.notify_all()
            for c in list(self._conns):  # wakes every reader; delays and stalls end on _stop
                try:
                    c.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self._accepter.join()
        for t in list(self._threads):
            t.join()

    def script(self, *answers):
        with self._lock:
            self._queue.extend(answers)

    def default(self, answer):
        with self._lock:
            self._default = answer

    def reset(self):
        with self._lock:
            self._queue, self._default, self._requests = [], {}, []

    def count(self):
        with self._lock:
            return len(self._requests)

    def wait(self, n, timeout=60):
        with self._lock:
            if not self._lock.wait_for(lambda: len(self._requests) > n or self._stop.is_set(), timeout):
                raise TimeoutError(f"request {n} did not arrive")
            if len(self._requests) <= n:
                raise TimeoutError("server stopped")
            return self._requests[n]

    def _record(self, raw, complete):
        with self._lock:
            self._requests.append(Request(raw, complete))
            self._lock.notify_all()

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._listen.accept()
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            self._threads.append(t)
            t.start()

    def _serve(self, raw):
        with self._lock:
            self._conns.add(raw)
        conn = raw
        try:
            if self._ctx:  # a refused handshake records nothing
                conn = self._ctx.wrap_socket(raw, server_side=True)
                with self._lock:
                    self._conns.discard(raw)
                    self._conns.add(conn)
            buf = bytearray()
            while self._one(conn, buf):
                pass
        except (OSError, ssl.SSLError):
            pass
        finally:
            with self._lock:
                self._conns.discard(conn)
                self._conns.discard(raw)
            conn.close()

    def _recv(self, conn, n=65536):
        return b"" if self._stop.is_set() else conn.recv(n)

    def _one(self, conn, buf):
        """Serves one request from conn; True when the connection stays open for another."""
        while b"\r\n\r\n" not in buf:
            data = self._recv(conn)
            if not data:
                if buf:
                    self._record(buf, False)
                return False
            buf += data
        cb_head = buf.index(b"\r\n\r\n") + 4
        req = Request(buf[:cb_head], False)
        cb_body = int(req.header("Content-Length") or 0)
        target = (req.request_line.split(" ") + ["", ""])[1]
        if target.startswith("/_ctl/"):
            while len(buf) < cb_head + cb_body:
                data = self._recv(conn)
                if not data:
                    return False
                buf += data
            self._control(conn, target, bytes(buf[cb_head : cb_head + cb_body]))
            return False
        with self._lock:
            ans = self._queue.pop(0) if self._queue else self._default
        cut, stall = ans.get("close_after_body"), ans.get("stall_after_body")
        while True:
            have = len(buf) - cb_head
            if cut is not None and have >= cut:
                del buf[cb_head + min(have, cb_body, cut) :]
                # Reset first: once a test sees the request, the client's socket has the reset too.
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                conn.close()
                self._record(buf, False)
                return False
            if stall is not None and have >= stall:
                stall = None
                if self._stop.wait(ans.get("stall_ms", 0) / 1000):
                    return False
            if have >= cb_body:
                break
            # Never read past the declared body or a scripted cut or stall.
            want = min(x - have for x in (cb_body, cut, stall) if x is not None)
            data = self._recv(conn, min(want, 65536))
            if not data:
                self._record(buf, False)
                return False
            buf += data
        keep = ans.get("keep_alive", False)
        if not keep:  # bytes already waiting past the declared body trail it
            conn.setblocking(False)
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        break
                    buf += data
            except (BlockingIOError, ssl.SSLWantReadError):
                pass
            conn.setblocking(True)
        self._record(buf[: len(buf) if not keep else cb_head + cb_body], True)
        del buf[: cb_head + cb_body]
        if self._stop.wait(ans.get("delay_ms", 0) / 1000):
            return False
        self._answer(conn, ans)
        if keep:
            return True
        conn.shutdown(socket.SHUT_WR)
        while self._recv(conn):  # let the client read everything before the socket goes
            pass
        return False

    def _answer(self, conn, ans):
        head = "HTTP/1.1 " + ans.get("status", "200 OK") + "\r\n"
        headers = ans.get("headers", [])
        head += "".join(f"{n}: {v}\r\n" for n, v in headers)
        if not ans.get("keep_alive") and not any(n.lower() == "connection" for n, _ in headers):
            head += "Connection: close\r\n"
        body = _bytes(ans.get("body", b""))
        if ans.get("chunked"):
            head += "Transfer-Encoding: chunked\r\n\r\n"
            if ans.get("endless"):
                conn.sendall(head.encode("latin-1"))
                while body and not self._stop.is_set():
                    conn.sendall(b"%x\r\n%s\r\n" % (len(body), body))
                return
            n = ans["chunked"]
            body = b"".join(b"%x\r\n%s\r\n" % (len(body[p : p + n]), body[p : p + n]) for p in range(0, len(body), n))
            body += b"0\r\n\r\n"
        else:
            head += "" if ans.get("no_length") else f"Content-Length: {len(body)}\r\n"
            head += "\r\n"
        if ans.get("stall_after_head"):
            conn.sendall(head.encode("latin-1"))
            self._stop.wait()
            return
        if ans.get("send_body_bytes") is not None:
            body = body[: ans["send_body_bytes"]]
        conn.sendall(head.encode("latin-1") + body)

    def _control(self, conn, path, body):
        status, headers, out = "200 OK", [], b""
        if path == "/_ctl/script":
            self.script(*json.loads(body))
        elif path == "/_ctl/default":
            self.default(json.loads(body))
        elif path == "/_ctl/reset":
            self.reset()
        elif path == "/_ctl/count":
            out = str(self.count()).encode()
        elif path.startswith("/_ctl/request/"):
            try:
                r = self.wait(int(path.rsplit("/", 1)[1]))
                out, headers = r.raw, [["X-Complete", "1" if r.complete else "0"]]
            except TimeoutError:
                status = "504 Gateway Timeout"
        else:
            status = "404 Not Found"
        self._answer(conn, {"status": status, "headers": headers, "body": out})


def main(argv):
    port, tls, cmd = 0, None, None
    if "--" in argv:
        i = argv.index("--")
        argv, cmd = argv[:i], argv[i + 1 :]
    while argv:
        if argv[0] == "--port":
            port, argv = int(argv[1]), argv[2:]
        elif argv[0] == "--tls":
            tls, argv = (argv[1], argv[2]), argv[3:]
        else:
            sys.exit(f"usage: scenario.py [--port N] [--tls CERT KEY] [-- CMD ARGS...] (not {argv[0]})")
    with Scenario(port, tls) as s:
        if not cmd:
            print(s.port, flush=True)
            signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
            try:
                threading.Event().wait()
            except KeyboardInterrupt:
                return 0
        child = subprocess.Popen(cmd, env=dict(os.environ, QUILLA_SCENARIO_PORT=str(s.port)))
        signal.signal(signal.SIGTERM, lambda *_: child.terminate())
        return child.wait()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
