#!/usr/bin/env python3
"""crashreport.exe end to end: each row of reporter_cases.txt (its head lists the keys) starts it
with a hand-off through reporter_driver.exe (its debugger, under Wine) against the scenario server
on the report port, plays the user and compares exactly what came out. A row's test is named
after it; a failure names the key that differs.
Usage: test_reporter.py DRIVER REPORTER PROBE REPORT_PORT [unittest args]"""
import ast, atexit, getpass, glob, os, pathlib, re, shutil, subprocess, sys, tempfile, time, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from scenario import Scenario  # noqa: E402

DRIVER, REPORTER, PROBE, PORT = sys.argv[1:5]
ACP = 936 if os.environ.get("LC_ALL", "").startswith("zh_CN") else 1252
CODEC = {936: "gbk", 1252: "cp1252"}[ACP]
USER = os.path.join(os.environ["WINEPREFIX"], "drive_c/users", getpass.getuser())
STORE = os.path.join(USER, "AppData/Local/Quilla/CrashReports")
LINE = "0123456789abcdef" * 4 + "\n"
DATA = {
    "lines": "".join("line %d\n" % i for i in range(3000))[:25000],
    "line": LINE,
    "mib": (LINE * 16132)[: 2**20],
    "huge": LINE * 33000,  # past the 1 MiB cut; uncut, its dump's length modulo 64 KiB differs
    "cookies": [["Set-Cookie", "c%d=%d" % (i, i)] for i in range(10000)],
}
KEYS = """name acp rows reporter port_offset tls proxy entries cmd file folder answers default
server actions requests request out dump dump_re titles events texts states focus paint restart
within kept last store""".split()
CHOICES = {"acp": [1252, 936], "rows": ["offline", "net"]}  # any other value would run nowhere
BOUNDARIES = set()  # of the rows so far: each request's must be new
ACTION = re.compile(r"dialog|paint|kill|hold:[0-9a-f]+|"
                    r"(click|key|sys|focus|pause|kept):[1-9]\d*")


def win(path):
    return "Z:" + path.replace("/", "\\")


def expand(x, v):
    """x with each "${name}" replaced by the template or the value of that name."""
    if isinstance(x, list):
        return [expand(y, v) for y in x]
    if isinstance(x, dict):
        return {k: expand(y, v) for k, y in x.items()}
    if not isinstance(x, str):
        return x
    whole = re.fullmatch(r"\$\{(\w+)\}", x)
    if whole and isinstance(v.get(whole[1]), list):
        return v[whole[1]]
    t = CASES["templates"]  # a template is expanded in turn; a value goes in as it is
    return re.sub(r"\$\{(\w+)\}", lambda m: expand(t[m[1]], v) if m[1] in t else v[m[1]], x)


def outputs(seen):  # the debugger output the driver saw
    return [bytes.fromhex(x).decode("latin-1") for x in seen.get("out", [])]


class Driver:
    """reporter_driver.exe kept running: a run a line of input, answered by its lines and "end"."""

    proc = None

    def run(self, exe, cmd, actions):
        """What the driver saw of exe started with the command line cmd: {kind: [values]}."""
        if not self.proc:
            pipe = subprocess.PIPE
            self.proc = subprocess.Popen(["wine", DRIVER], stdin=pipe, stdout=pipe)
            atexit.register(self.proc.communicate)
        run = "\t".join([win(exe), cmd.encode("latin-1").hex()] + actions) + "\n"
        self.proc.stdin.write(run.encode())
        self.proc.stdin.flush()
        seen = {}
        for line in self.proc.stdout:
            kind, _, value = line.decode().rstrip("\r\n").partition(" ")
            if kind == "end":
                assert "failed" not in seen, "the driver's actions: %s failed" % seen["failed"]
                return seen
            seen.setdefault(kind, []).append(value)
        raise RuntimeError("reporter_driver ended before its run did")


DRIVEN = Driver()  # for every row


class Reporter(unittest.TestCase):
    def setUp(self):
        # A report kept by an earlier row would go out after this one's first delivered send.
        shutil.rmtree(STORE, ignore_errors=True)
        self.addCleanup(shutil.rmtree, STORE, True)
        pathlib.Path(PROBE + ".started").unlink(missing_ok=True)

    def run_row(self, row):
        exe = os.path.normpath(os.path.join(REPORTER, "..", row.get("reporter", REPORTER)))
        v = dict(DATA, exe=win(exe), EXE=win(exe).upper(), probe=win(PROBE), bytes="", cl="${cl}")
        v["path"] = self.crash_file(row, v)
        entries = expand(row.get("entries", []), v)
        v["file"] = dict(entries).get("crash file", "")  # as the part header names it
        if "module" not in dict(entries):
            entries.insert(0, ["module", v["probe"]])
        lines = [k + ":" + x for k, x in entries]
        head = '"%s" ' % v["exe"]
        v["cmd"] = head + "".join(x + "\r\n\t" for x in lines)
        if "cmd" in row:
            v["cmd"] = expand(row["cmd"], v)
        v["rest"] = v["cmd"][len(head) :]
        store = [x.encode(CODEC).decode("latin-1") for x in row.get("store", {ACP: []})[ACP]]
        trace = ["${cmd}", "${rest}"] + lines + store + ([row["dump"]] if "dump" in row else [])
        server = self.serve(row, v)
        if "proxy" in row:  # the system's proxy settings, in the harness's own prefix copy
            self.proxy("add", "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1")
            self.proxy("add", "/v", "ProxyServer", "/d", "127.0.0.1:" + os.environ[row["proxy"]])
            self.addCleanup(self.proxy, "delete", "/v", "ProxyEnable")
        began = time.monotonic()
        seen = DRIVEN.run(exe, v["cmd"], row.get("actions", ["dialog", "click:1000"]))
        self.check(row, v, seen, expand(row.get("out", trace), v), time.monotonic() - began)
        if server:
            self.check_requests(row, v, server)

    def crash_file(self, row, v):
        """Writes the row's crash file, if it has one; its path as the ANSI code page spells it."""
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        folder = os.path.join(tmp, row.get("folder", {ACP: ""})[ACP])  # a name per code page
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "crash.dmp")
        if "file" in row:
            n = int(row["file"][4:]) if row["file"].startswith("bin:") else 0
            v["bytes"] = ("".join(map(chr, range(256))) * (n // 256 + 1))[:n] if n else row["file"]
            pathlib.Path(path).write_bytes(v["bytes"].encode("latin-1"))
        return win(path).encode(CODEC).decode("latin-1")

    def serve(self, row, v):
        """The row's report server, with its answers; None when the row has none."""
        port = int(PORT) + row.get("port_offset", 0)
        cert = os.path.join(os.environ.get("QUILLA_NET_DIR", ""), row.get("tls", ""))
        tls = row.get("tls") and (cert + ".pem", cert + ".key")
        v["host"] = ("localhost:" if tls else "127.0.0.1:") + str(port)
        if not row.get("server", True):
            return None
        server = self.enterContext(Scenario(port, tls))
        server.script(*expand(row.get("answers", []), v))
        server.default(expand(row.get("default", {}), v))
        return server

    def proxy(self, verb, *args):
        key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
        subprocess.run(["wine", "reg", verb, key, *args, "/f"], capture_output=True, check=True)

    def check(self, row, v, seen, want, took):
        out = outputs(seen)
        if "dump_re" in row:
            self.assertRegex(out.pop(), row["dump_re"], "dump_re")
        cut = [w[: (len(w) + 1) % 65536] for w in want]  # as a debugger gets them: 16-bit lengths
        self.assertEqual(out, cut, "out")
        self.assertEqual(seen["exit"], ["0"], "exit")
        restart = row.get("restart", True)
        self.assertEqual(os.path.exists(PROBE + ".started"), restart, "restart")
        self.assertEqual(seen["procs"], ["2" if restart else "1"], "restart: processes started")
        events = [bytes.fromhex(x).decode() for x in seen.get("ev", [])]
        if "dialog" in row.get("actions", ["dialog"]):
            titles = [e[6:] for e in events if e.startswith("title:")]
            titles.insert(0, bytes.fromhex(seen["title"][0]).decode())  # the template's
            default = ["${template}", "${sending}", "${sent}"]
            self.assertEqual(titles, expand(row.get("titles", default), v), "titles")
            self.assertTrue(any(re.fullmatch("icon:127:.*:128", e) for e in events), "icon")
        if "events" in row:
            shown = [e for e in events if not e.startswith("icon:")]
            self.assertEqual(shown, expand(row["events"], v), "events")
        for nid, text in row.get("texts", {}).items():
            text = text[ACP] if isinstance(text, dict) else text  # 8-bit fields: the ANSI code page
            shown = bytes.fromhex(seen["text%d" % nid][0].split(" ")[0]).decode()
            self.assertEqual(shown, expand(text, v), "texts: %d" % nid)
        for nid, state in row.get("states", {}).items():
            self.assertEqual(seen["text%d" % nid][0].split(" ")[1], state, "states: %d" % nid)
        for key in ("focus", "paint"):
            if key in row:
                self.assertEqual(seen[key], [str(row[key])], key)
        if "within" in row:
            self.assertLess(took, row["within"], "within")
        records = glob.glob(os.path.join(STORE, "*.rec"))
        if "kept" in row:
            self.assertEqual(len(records), row["kept"], "kept")
        if "last" in row:
            last = pathlib.Path(records[0]).read_bytes().decode("latin-1").split("\r\nlast=")[1]
            self.assertRegex(last, row["last"] + "\r\n$", "last")

    def check_requests(self, row, v, server):
        self.assertEqual(server.count(), row["requests"], "requests")
        if "request" not in row:
            return
        got = server.wait(0)
        v["b"] = (got.header("Content-Type") or "").partition("boundary=")[2]
        self.assertRegex(v["b"], "^----MIRAS-[0-9a-f]{32}-$", "request: boundary")
        self.assertNotIn(v["b"], BOUNDARIES, "request: boundary as an earlier row's")
        BOUNDARIES.add(v["b"])
        head, _, body = expand(row["request"], v).partition("\r\n\r\n")
        want = head.replace("${cl}", str(len(body))) + "\r\n\r\n" + body
        raw = got.raw.decode("latin-1")
        if "proxy" in row:  # squid's own head: the same request line and body
            self.assertIn("squid", got.header("Via"), "via")
            raw = raw.split("\r\n")[0] + "\r\n" + raw.partition("\r\n\r\n")[2]
            want = want.split("\r\n")[0] + "\r\n" + body
        self.assertEqual(raw, want, "request")


def validate(row):
    """A misspelt key or value would switch a check, or the whole row, off unseen."""
    problems = ["unknown key %r" % k for k in row if k not in KEYS]
    problems += ["%s is %r" % (k, row[k]) for k in CHOICES if k in row and row[k] not in CHOICES[k]]
    problems += ["unknown action %r" % a for a in row.get("actions", []) if not ACTION.fullmatch(a)]
    if "requests" not in row or (row["requests"] and not row.get("server", True)):
        problems.append("requests must give the server's count (0 without a server)")
    if problems:
        raise ValueError("row %s: %s" % (row.get("name"), "; ".join(problems)))


with open(os.path.join(HERE, "reporter_cases.txt"), encoding="utf-8") as f:
    CASES = ast.literal_eval(f.read())
if __name__ == "__main__":  # imported, it runs no row of its own
    SELECTED = os.environ.get("QUILLA_ROWS", "")
    if SELECTED not in CHOICES["rows"] + [""]:
        raise ValueError("QUILLA_ROWS is %r, not one of %s" % (SELECTED, CHOICES["rows"]))
    for r in CASES["rows"]:
        validate(r)
        if r.get("acp", ACP) == ACP and r.get("rows", "") == SELECTED:
            setattr(Reporter, "test_" + r["name"], lambda self, r=r: self.run_row(r))
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
