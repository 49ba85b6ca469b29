#!/usr/bin/env python3
"""crashreport.exe end to end: each row of reporter_cases.txt starts it with a hand-off through
reporter_driver.exe (its debugger, under Wine) against the scenario server on the report port,
plays the user and compares exactly what came out.
Usage: test_reporter.py DRIVER REPORTER PROBE REPORT_PORT [unittest args]

To add a row, append a dict to reporter_cases.txt (a Python literal). Strings stand for bytes
(latin-1); "${x}" expands to the row's values (exe, EXE, probe, path, file, bytes, cmd, rest,
host, b) and to the file's templates and GEN below (a whole "${x}" to any object). Keys:
  name: the test's name; acp: only under this ANSI code page; rows: "offline" (offline.sh) or
  "net" (the HTTPS/proxy harness) run only there, as QUILLA_ROWS says
  reporter: another exe, relative to REPORTER's folder; port_offset: its port's; tls: serve HTTPS
  with this harness certificate; proxy: the variable naming the system proxy's port
  entries: hand-off [key, value]s, "module:${probe}" first unless given; cmd: the whole line
  file: the crash file's content at ${path} ("bin:N": N bytes of every value); folder {acp: its
  folder's name}; answers: the server's, in order; default: after them; server: False (none)
  actions: the driver's (reporter_driver.cpp), default dialog, click:1000
  out: the whole debugger output, by default the hand-off trace, the store's lines (store; {acp:
  lines} where the platform's texts differ) then dump (dump_re: a regular expression, for a
  proxy's own page); cut16: cut to its length + 1 modulo 64 KiB, as debuggers get it
  requests: how many the server got (every row says; 0 without a server); request: the golden raw
  request (${b} its boundary, ${cl} its body's length); complete: it arrived whole (default True);
  via: through squid, whose head differs
  titles: from the template's on (default: a send, English); events: the hook's titles, enables
  texts {id: text or {acp: text}}, states {id: "<enabled><checked>"}, focus, paint: as read
  restart: the product started again (default True); exit (default "0"); within: seconds at most
  kept: the number of reports the reporter kept for a later send; last: a regular expression for
  the status or error its record names
"""
import ast, getpass, glob, os, pathlib, shutil, subprocess, sys, tempfile, time, unittest  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from scenario import ANSWER_KEYS, Scenario  # noqa: E402

DRIVER, REPORTER, PROBE, PORT = sys.argv[1:5]
ACP = 936 if os.environ.get("LC_ALL", "").startswith("zh_CN") else 1252
CODEC = {936: "gbk", 1252: "cp1252"}[ACP]
LINE = "0123456789abcdef" * 4 + "\n"
GEN = {"lines": "".join("line %d\n" % i for i in range(3000))[:25000], "huge": LINE * (50 * 2**20 // len(LINE)),
       "mib": (LINE * 16132)[: 2**20], "line": LINE, "cookies": [["Set-Cookie", "c%d=%d" % (i, i)] for i in range(10000)]}


def win(path):
    return "Z:" + path.replace("/", "\\")


def expand(x, v):
    if isinstance(x, (list, dict)):
        return [expand(y, v) for y in x] if isinstance(x, list) else {k: expand(y, v) for k, y in x.items()}
    if isinstance(x, str) and x == "${%s}" % x[2:-1] and not isinstance(v.get(x[2:-1], ""), str):
        return v[x[2:-1]]
    for k, y in v.items() if isinstance(x, str) else ():
        x = x.replace("${%s}" % k, y) if isinstance(y, str) else x
    return x


class Reporter(unittest.TestCase):
    def setUp(self):
        # A report kept by an earlier row would go out after this one's first delivered send.
        self.store = os.path.join(os.environ["WINEPREFIX"], "drive_c/users", getpass.getuser(), "AppData/Local/Quilla")
        shutil.rmtree(self.store, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.store, True)

    def run_row(self, row):
        exe = os.path.normpath(os.path.join(os.path.dirname(REPORTER), row.get("reporter", os.path.basename(REPORTER))))
        v = dict(GEN, **CASES["templates"], exe=win(exe), EXE=win(exe).upper(), probe=win(PROBE), bytes="")
        folder = os.path.join(self.enterContext(tempfile.TemporaryDirectory()), row.get("folder", {}).get(ACP, ""))
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "crash.dmp")
        v["path"] = win(path).encode(CODEC).decode("latin-1")
        if "file" in row:
            n = row["file"][4:]
            pattern = bytes(i * 7 % 256 for i in range(256)).decode("latin-1")
            v["bytes"] = (pattern * (int(n) // 256 + 1))[: int(n)] if n.isdigit() else row["file"]
            with open(path, "wb") as f:
                f.write(v["bytes"].encode("latin-1"))
        entries = expand(row.get("entries", []), v)
        v["file"] = dict(entries).get("crash file", "")  # as the part header names it
        entries = entries if any(k == "module" for k, _ in entries) else [["module", v["probe"]]] + entries
        prefix = '"%s" ' % v["exe"]
        v["cmd"] = expand(row["cmd"], v) if "cmd" in row else prefix + "".join(k + ":" + x + "\r\n\t" for k, x in entries)
        v["rest"] = v["cmd"][len(prefix) :]
        if os.path.exists(PROBE + ".started"):
            os.remove(PROBE + ".started")
        tls = row.get("tls") and tuple(os.path.join(os.environ["QUILLA_NET_DIR"], row["tls"] + x) for x in (".pem", ".key"))
        server = Scenario(int(PORT) + row.get("port_offset", 0), tls) if row.get("server", True) else None
        v["host"] = ("localhost:" if tls else "127.0.0.1:") + str(server.port if server else PORT)
        if "proxy" in row:  # the system's proxy settings, in the harness's own prefix copy
            self.proxy("add", "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1")
            self.proxy("add", "/v", "ProxyServer", "/d", "127.0.0.1:" + os.environ[row["proxy"]])
            self.addCleanup(self.proxy, "delete", "/v", "ProxyEnable")
        if server:
            self.addCleanup(server.stop)
            server.script(*expand(row.get("answers", []), v))
            server.default(expand(row.get("default", {}), v))
        began, actions = time.monotonic(), row.get("actions", ["dialog", "click:1000"])
        cmd = ["wine", DRIVER, win(exe), v["cmd"].encode("latin-1").hex()] + actions
        lines = subprocess.run(cmd, stdout=subprocess.PIPE, check=True, timeout=600).stdout.decode().splitlines()
        took, seen = time.monotonic() - began, {}
        for kind, _, value in (line.partition(" ") for line in lines):
            seen.setdefault(kind, []).append(value)
        self.check(row, v, entries, seen, server, took)

    def proxy(self, verb, *args):
        key = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"
        subprocess.run(["wine", "reg", verb, key, *args, "/f"], stdout=subprocess.DEVNULL, check=True)

    def check(self, row, v, entries, seen, server, took):
        text = [bytes.fromhex(x).decode("latin-1") for x in seen.get("out", [])]
        store = row.get("store", [])  # the platform's texts, in the ANSI code page: a list, or one per code page
        store = [x.encode(CODEC).decode("latin-1") for x in (store.get(ACP) if isinstance(store, dict) else store)]
        trace = ["${cmd}", "${rest}"] + [k + ":" + x for k, x in entries] + store
        trace += [row["dump"]] if "dump" in row else []
        want = expand(row.get("out", trace), v)
        if row.get("cut16"):
            want[-1] = want[-1][: (len(want[-1]) + 1) % 65536]
        if "dump_re" in row:  # a proxy's own answer
            self.assertRegex(text.pop(), row["dump_re"])
        self.assertEqual(text, want)
        self.assertEqual(seen["exit"], [row.get("exit", "0")])
        self.assertEqual(os.path.exists(PROBE + ".started"), row.get("restart", True))
        self.assertEqual(seen["procs"], ["2" if row.get("restart", True) else "1"])
        events = [bytes.fromhex(x).decode() for x in seen.get("ev", [])]
        titles = [bytes.fromhex(x).decode() for x in seen.get("title", [])]
        titles += [e[6:] for e in events if e.startswith("title:")]
        if "dialog" in row.get("actions", ["dialog"]):
            self.assertEqual(titles, expand(row.get("titles", ["${template}", "${sending}", "${sent}"]), v))
            self.assertTrue(any(e.startswith("icon:127:") and e.endswith(":128") for e in events))
        if "events" in row:
            self.assertEqual([e for e in events if not e.startswith("icon:")], expand(row["events"], v))
        for nid, want in row.get("texts", {}).items():
            want = want.get(ACP) if isinstance(want, dict) else want  # 8-bit fields show in the ANSI code page
            self.assertEqual(bytes.fromhex(seen["text%d" % nid][0].split(" ")[0]).decode(), expand(want, v))
        for nid, want in row.get("states", {}).items():
            self.assertEqual(seen["text%d" % nid][0].split(" ")[1], want, nid)
        for key in set(row) & {"focus", "paint"}:
            self.assertEqual(seen[key], [str(row[key])])
        if "within" in row:
            self.assertLess(took, row["within"])
            self.assertTrue(0 < int(seen["peak"][0]) < 64 * 1024)  # KiB: a bounded answer in memory
        records = glob.glob(os.path.join(self.store, "CrashReports", "*.rec"))
        if "kept" in row:  # reports kept for a later send
            self.assertEqual(len(records), row["kept"])
        if "last" in row:
            last = pathlib.Path(records[0]).read_bytes().decode("latin-1").split("\r\nlast=")[1]
            self.assertRegex(last, row["last"] + "\r\n$")
        if server:
            self.check_requests(row, v, server)

    def check_requests(self, row, v, server):
        if "request" in row:
            got = server.wait(0)
            self.assertEqual(got.complete, row.get("complete", True))
            v["b"] = (got.header("Content-Type") or "").partition("boundary=")[2]
            self.assertRegex(v["b"], "^----MIRAS-[0-9a-f]{32}-$")
            want = expand(row["request"], v)
            head, _, body = want.partition("\r\n\r\n")
            want = head.replace("${cl}", str(len(body))) + "\r\n\r\n" + body
            if row.get("via"):  # through a proxy: its own head, the same request line and body
                self.assertIn("squid", got.header("Via"))
                got.raw, want = got.raw.split(b"\r\n")[0] + got.raw.partition(b"\r\n\r\n")[2], want.split("\r\n")[0] + body
            self.assertEqual(got.raw.decode("latin-1"), want)
        self.assertEqual(server.count(), row["requests"], "requests")


KEYS = set("""name acp rows reporter port_offset tls proxy entries cmd file folder answers default server actions out
dump dump_re cut16 requests request complete via titles events texts states focus paint restart exit within kept store last""".split())
CHOICES = {"acp": {1252, 936}, "rows": {"offline", "net"}, "tls": {"valid", "expired", "otherhost", "untrusted"},
           "proxy": {"QUILLA_PROXY_PORT", "QUILLA_AUTH_PROXY_PORT"}}


def validate(row):
    """A misspelt key or value would switch a check, or the whole row, off unseen: it fails the table."""
    name = row.get("name", row)
    for key in set(row) - KEYS:
        raise ValueError("row %s: unknown key %r" % (name, key))
    for key, allowed in CHOICES.items():
        if key in row and row[key] not in allowed:
            raise ValueError("row %s: %s must be one of %s" % (name, key, sorted(allowed)))
    if "folder" in row and set(row["folder"]) != CHOICES["acp"]:
        raise ValueError("row %s: folder needs a name for each code page" % name)
    for answer in row.get("answers", []) + [row.get("default", {})]:
        for key in set(answer) - ANSWER_KEYS:
            raise ValueError("row %s: unknown answer key %r" % (name, key))
    if "requests" not in row or (row["requests"] and not row.get("server", True)):
        raise ValueError("row %s: requests must give the server's count (0 without a server)" % name)


with open(os.path.join(HERE, "reporter_cases.txt"), encoding="utf-8") as f:
    CASES = ast.literal_eval(f.read())
SELECTED = os.environ.get("QUILLA_ROWS", "")
if SELECTED not in CHOICES["rows"] | {""}:
    raise ValueError("QUILLA_ROWS must be one of %s" % sorted(CHOICES["rows"]))
for r in CASES["rows"]:
    validate(r)
    if r.get("acp", ACP) == ACP and r.get("rows", "") == SELECTED:
        setattr(Reporter, "test_" + r["name"], lambda self, r=r: self.run_row(r))

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
