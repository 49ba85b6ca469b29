#!/usr/bin/env python3
"""The tests' loopback HTTP(S) server: answers from a script, records every request's raw bytes.

    with Scenario(port=0, tls=None) as s:      # tls=(certfile, keyfile): HTTPS, and plain HTTP to
        s.script({"status": "503 ..."}, {...})  #   clients that open without a TLS handshake
        s.default({...})                        # when the queue is empty (default: 200 OK, empty)
        r = s.wait(0)                           # r.raw, r.complete, r.request_line, r.header(), r.body

Answer keys (all optional): status, headers [[name, value]...], body (str latin-1 or bytes),
chunked (chunk size), no_length, delay_ms, stall_after_body + stall_ms, close_after_body,
stall_after_head, endless; any other key is refused. One request a connection. Requests under
/_ctl/ control the server over HTTP (script, default, request/N, count, reset) for tests running
under Wine. A request's raw bytes include any that already trailed its declared body. Stopping
ends every delay and stall; a reset also ends endless answers.

CLI: scenario.py [--port N] [--tls CERT KEY] [-- CMD ARGS...]: runs CMD with QUILLA_SCENARIO_PORT
set and exits with its code; without CMD, prints the port and serves until killed."""
import argparse, json, os, signal, socket, ssl, struct, subprocess, sys, threading  # noqa: E401

ANSWER_KEYS = set("status headers body chunked no_length delay_ms stall_after_body stall_ms "
                  "close_after_body stall_after_head endless".split())


def checked(answers):  # a misspelt key would be ignored
    unknown = set().union(*answers) - ANSWER_KEYS
    if unknown:
        raise ValueError(f"unknown answer keys {sorted(unknown)}")
    return answers


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


class Scenario:
    def __init__(self, port=0, tls=None):
        self._lock, self._stop = threading.Condition(), threading.Event()
        self._conns, self._threads, self._generation = set(), [], 0
        self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER) if tls else None
        if tls:
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
        with self._lock:
            self._lock.notify_all()
            for s in [self._listen] + list(self._conns):  # wakes accept() and every reader
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        self._listen.close()
        for t in [self._accepter] + self._threads:
            t.join()

    def script(self, *answers):
        with self._lock:
            self._queue.extend(checked(answers))

    def default(self, answer):
        with self._lock:
            self._default = checked([answer])[0]

    def reset(self):
        with self._lock:
            self._queue, self._default, self._requests = [], {}, []
            self._generation += 1

    def count(self):
        with self._lock:
            return len(self._requests)

    def wait(self, n, timeout=60):
        with self._lock:
            self._lock.wait_for(lambda: len(self._requests) > n or self._stop.is_set(), timeout)
            if len(self._requests) <= n:
                raise TimeoutError(f"request {n} did not arrive")
            return self._requests[n]

    def _record(self, raw, complete):
        with self._lock:
            self._requests.append(Request(raw, complete))
            self._lock.notify_all()

    def _accept(self):
        while True:
            try:
                conn = self._listen.accept()[0]
            except OSError:
                return
            with self._lock:
                self._conns.add(conn)
            self._threads.append(threading.Thread(target=self._serve, args=(conn,), daemon=True))
            self._threads[-1].start()

    def _serve(self, conn):
        raw = conn
        try:
            if self._ctx and conn.recv(1, socket.MSG_PEEK) == b"\x16":  # a refused handshake records nothing
                conn = self._ctx.wrap_socket(conn, server_side=True)
                with self._lock:
                    self._conns.add(conn)
            self._one(conn)
        except (OSError, ssl.SSLError):
            pass
        with self._lock:
            self._conns -= {conn, raw}
        conn.close()

    def _recv(self, conn, n=65536):
        return b"" if self._stop.is_set() else conn.recv(n)

    def _one(self, conn):
        """Serves the one request of conn."""
        buf = bytearray()
        while b"\r\n\r\n" not in buf:
            data = self._recv(conn)
            if not data:
                return buf and self._record(buf, False)
            buf += data
        cb_head = buf.index(b"\r\n\r\n") + 4
        req = Request(buf[:cb_head], False)
        cb_body = int(req.header("Content-Length") or 0)
        target = (req.request_line.split(" ") + [""])[1]
        if target.startswith("/_ctl/"):
            while len(buf) < cb_head + cb_body and (data := self._recv(conn)):
                buf += data
            return self._control(conn, target, bytes(buf[cb_head : cb_head + cb_body]))
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
                return self._record(buf, False)
            if stall is not None and have >= stall:
                stall = None
                if self._stop.wait(ans.get("stall_ms", 0) / 1000):
                    return
            if have >= cb_body:
                break
            # Never read past the declared body, a scripted cut or a stall.
            data = self._recv(conn, min([x - have for x in (cb_body, cut, stall) if x is not None] + [65536]))
            if not data:
                return self._record(buf, False)
            buf += data
        conn.setblocking(False)  # bytes already waiting past the declared body trail it
        try:
            while data := conn.recv(65536):
                buf += data
        except (BlockingIOError, ssl.SSLWantReadError):
            pass
        conn.setblocking(True)
        self._record(buf, True)
        if self._stop.wait(ans.get("delay_ms", 0) / 1000):
            return
        self._answer(conn, ans)
        conn.shutdown(socket.SHUT_WR)
        while self._recv(conn):  # let the client read everything before the socket goes
            pass

    def _answer(self, conn, ans):
        headers = ans.get("headers", [])
        head = "HTTP/1.1 " + ans.get("status", "200 OK") + "\r\n" + "".join(f"{n}: {v}\r\n" for n, v in headers)
        if not any(n.lower() == "connection" for n, _ in headers):
            head += "Connection: close\r\n"
        body = ans.get("body", b"")
        body = body.encode("latin-1") if isinstance(body, str) else bytes(body)
        chunk = lambda b: b"%x\r\n%s\r\n" % (len(b), b)
        if ans.get("chunked"):
            head += "Transfer-Encoding: chunked\r\n\r\n"
            if ans.get("endless"):
                conn.sendall(head.encode("latin-1"))
                generation = self._generation
                while body and not self._stop.is_set() and generation == self._generation:
                    conn.sendall(chunk(body))
                return
            n = ans["chunked"]
            body = b"".join(chunk(body[p : p + n]) for p in range(0, len(body), n)) + b"0\r\n\r\n"
        else:
            head += ("" if ans.get("no_length") else f"Content-Length: {len(body)}\r\n") + "\r\n"
        if ans.get("stall_after_head"):
            conn.sendall(head.encode("latin-1"))
            self._stop.wait()
            return
        conn.sendall(head.encode("latin-1") + body)

    def _control(self, conn, path, body):
        status, headers, out = "200 OK", [], b""
        try:
            if path == "/_ctl/script":
                self.script(*json.loads(body))
            elif path == "/_ctl/default":
                self.default(json.loads(body))
            elif path == "/_ctl/reset":
                self.reset()
            elif path == "/_ctl/count":
                out = str(self.count()).encode()
            elif path.startswith("/_ctl/request/"):
                r = self.wait(int(path.rsplit("/", 1)[1]))
                out, headers = r.raw, [["X-Complete", "1" if r.complete else "0"]]
            else:
                status = "404 Not Found"
        except TimeoutError:
            status = "504 Gateway Timeout"
        except ValueError as e:  # an unknown answer key, bad JSON
            status, out = "400 Bad Request", str(e).encode()
        self._answer(conn, {"status": status, "headers": headers, "body": out})


def main():
    argv = sys.argv[1:]
    cmd = argv[argv.index("--") + 1 :] if "--" in argv else None
    parser = argparse.ArgumentParser(usage=__doc__.rsplit("CLI: ", 1)[1])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    args = parser.parse_args(argv[: argv.index("--")] if cmd is not None else argv)
    with Scenario(args.port, args.tls) as s:
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
    sys.exit(main())
