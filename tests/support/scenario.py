#!/usr/bin/env python3
"""The tests' loopback HTTP(S) server: answers from a script, records every request's raw bytes.

Answer keys (any other refused): status, headers [[name, value]...], body (str latin-1 or bytes),
chunked (chunk size), no_length, delay_ms, stall_after_body + stall_ms, close_after_body,
stall_after_head, endless. One request a connection; bytes already trailing its declared body are
recorded with it. Stopping ends every delay and stall; a reset also ends endless answers.
Under Wine, tests drive it by POST /_ctl/NAME (script, default, reset, count: a JSON list of
arguments in, the result in JSON out) and /_ctl/request/N: "1" (complete) or "0", then its bytes,
its multipart boundary and the server's port normalised.
CLI: scenario.py [--tls CERT KEY] [-- CMD ARGS...]: runs CMD with QUILLA_SCENARIO_PORT and
QUILLA_REFUSING_PORT (a loopback port that refuses connections) set, and exits with its code;
without CMD, prints the port and serves until killed."""
import contextlib, json, os, re, select, signal, socket, ssl  # noqa: E401
import struct, subprocess, sys, threading  # noqa: E401

ANSWER_KEYS = set("status headers body chunked no_length delay_ms stall_after_body stall_ms "
                  "close_after_body stall_after_head endless".split())


def checked(answers):  # a misspelt key would be ignored
    if unknown := set().union(*answers) - ANSWER_KEYS:
        raise ValueError(f"unknown answer keys {sorted(unknown)}")
    return answers


class Request:
    def __init__(self, raw, complete):
        self.raw, self.complete = bytes(raw), complete
        head, _, self.body = self.raw.partition(b"\r\n\r\n")
        self.request_line, *lines = head.decode("latin-1").split("\r\n")
        self.headers = [tuple(x.strip() for x in l.split(":", 1)) for l in lines if ":" in l]

    def header(self, name):
        return next((v for n, v in self.headers if n.lower() == name.lower()), None)


class Scenario(contextlib.AbstractContextManager):
    def __init__(self, port=0, tls=None):
        self._lock, self._stop = threading.Condition(), threading.Event()
        self._conns, self._reading, self._threads, self._generation = set(), set(), [], 0
        self._ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER) if tls else None
        if tls:
            self._ctx.load_cert_chain(*tls)
        # Reusable: a fixed port's old connections may sit in TIME_WAIT.
        self._listen = socket.create_server(("127.0.0.1", port), backlog=64)
        self.port = self._listen.getsockname()[1]
        self.reset()
        self._threads.append(threading.Thread(target=self._accept, daemon=True))
        self._threads[0].start()

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        self._stop.set()
        with self._lock:
            self._lock.notify_all()
            for s in [self._listen, *self._conns]:  # wakes accept() and every reader
                with contextlib.suppress(OSError):
                    s.shutdown(socket.SHUT_RDWR)
        self._listen.close()
        for t in self._threads:
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

    def settle(self, timeout=60):
        """Waits until every connection has read all its client sent and waits for more: a request
        whose client ended is recorded, even if its socket stays open (a killed Wine process's may)."""
        idle = lambda c: c in self._reading and not select.select([c], [], [], 0)[0]  # noqa: E731
        with self._lock:
            self._lock.wait_for(lambda: all(map(idle, self._conns)), timeout)

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
        with contextlib.suppress(OSError):  # the listening socket closed
            while True:
                conn = self._listen.accept()[0]
                with self._lock:
                    self._conns.add(conn)
                t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
                self._threads.append(t)
                t.start()

    def _serve(self, conn):
        raw = conn
        with contextlib.suppress(OSError):  # TLS errors too; a refused handshake records nothing
            if self._ctx and self._recv(conn, 1, socket.MSG_PEEK) == b"\x16":
                conn = self._ctx.wrap_socket(conn, server_side=True)  # raw's socket now
                with self._lock:
                    self._conns ^= {raw, conn}
            self._one(conn)
        conn.close()
        with self._lock:
            self._conns -= {conn, raw}
            self._lock.notify_all()

    def _recv(self, conn, n=65536, flags=0):
        with self._lock:
            self._reading.add(conn)
            self._lock.notify_all()
        try:
            return b"" if self._stop.is_set() else conn.recv(n, flags)
        finally:
            self._reading.discard(conn)

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
        with self._lock:
            ctl = target.startswith("/_ctl/")
            ans = {} if ctl else self._queue.pop(0) if self._queue else self._default
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
            limits = [x - have for x in (cb_body, cut, stall) if x is not None]
            data = self._recv(conn, min(limits + [65536]))
            if not data:
                return None if ctl else self._record(buf, False)
            buf += data
        if ctl:
            return self._control(conn, target, bytes(buf[cb_head:]))
        conn.setblocking(False)  # bytes already waiting past the declared body trail it
        with contextlib.suppress(BlockingIOError, ssl.SSLWantReadError):
            while data := conn.recv(65536):
                buf += data
        conn.setblocking(True)
        self._record(buf, True)
        if self._stop.wait(ans.get("delay_ms", 0) / 1000):
            return
        self._answer(conn, ans)
        conn.shutdown(socket.SHUT_WR)
        while self._recv(conn):  # let the client read everything before the socket goes
            pass

    def _answer(self, conn, ans):
        headers, body, n = ans.get("headers", []), ans.get("body", b""), ans.get("chunked")
        body = body.encode("latin-1") if isinstance(body, str) else bytes(body)
        head = f"HTTP/1.1 {ans.get('status', '200 OK')}\r\n"
        head += "".join(f"{k}: {v}\r\n" for k, v in headers)
        if not any(k.lower() == "connection" for k, _ in headers):
            head += "Connection: close\r\n"
        chunk = lambda b: b"%x\r\n%s\r\n" % (len(b), b)  # noqa: E731
        if n:
            head += "Transfer-Encoding: chunked\r\n"
            whole = b"".join(chunk(body[p : p + n]) for p in range(0, len(body), n)) + b"0\r\n\r\n"
        else:
            head += "" if ans.get("no_length") else f"Content-Length: {len(body)}\r\n"
            whole = body
        held = ans.get("stall_after_head") or ans.get("endless")
        conn.sendall(head.encode("latin-1") + b"\r\n" + (b"" if held else whole))
        endless, generation = ans.get("endless") and body, self._generation  # a reset ends it
        while endless and not self._stop.is_set() and generation == self._generation:
            conn.sendall(chunk(body))
        if ans.get("stall_after_head"):
            self._stop.wait()

    def _control(self, conn, path, body):
        status, out = "200 OK", b""
        name, _, n = path[len("/_ctl/") :].partition("/")
        try:
            if name == "request":  # its multipart boundary and the server's port normalised
                r = self.wait(int(n))
                b = re.search(rb"boundary=([^\r\n]+)", r.raw.partition(b"\r\n\r\n")[0])
                raw = r.raw.replace(b.group(1), b"BOUNDARY") if b else r.raw
                out = b"%d" % r.complete + raw.replace(b":%d\r\n" % self.port, b":PORT\r\n")
            elif name in ("script", "default", "reset", "count"):
                out = json.dumps(getattr(self, name)(*json.loads(body or b"[]"))).encode()
            else:
                status = "404 Not Found"
        except TimeoutError:
            status = "504 Gateway Timeout"
        except (ValueError, TypeError) as e:  # an unknown answer key, bad JSON or arguments
            status, out = "400 Bad Request", str(e).encode()
        self._answer(conn, {"status": status, "body": out})


def main():
    args, cmd = sys.argv[1:], None
    if "--" in args:
        args, cmd = args[: args.index("--")], args[args.index("--") + 1 :]
    if args and (args[0] != "--tls" or len(args) != 3):
        sys.exit("usage: scenario.py [--tls CERT KEY] [-- CMD ARGS...]")
    with Scenario(tls=args[1:] or None) as s:
        if not cmd:
            print(s.port, flush=True)
            signal.pause()  # until killed
        refusing = socket.socket()  # bound and never listening
        refusing.bind(("127.0.0.1", 0))
        ports = dict(QUILLA_SCENARIO_PORT=s.port, QUILLA_REFUSING_PORT=refusing.getsockname()[1])
        child = subprocess.Popen(cmd, env=dict(os.environ, **{k: str(v) for k, v in ports.items()}))
        signal.signal(signal.SIGTERM, lambda *_: child.terminate())
        return child.wait()


if __name__ == "__main__":
    sys.exit(main())
