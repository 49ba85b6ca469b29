#!/usr/bin/env python3
"""Reports that did not get through are kept in the reporter's store and delivered later by the
flush process (--send-pending) that the next delivered send starts: each once, byte for byte as
first sent. Drives crashreport.exe through reporter_driver.exe against the scenario server.
Usage: test_pending.py DRIVER REPORTER PROBE REPORT_PORT [unittest args]"""
import concurrent.futures, getpass, os, re, shutil, subprocess, sys, tempfile, time, unittest  # noqa: E401

from test_reporter import DRIVER, PORT, PROBE, REPORTER, Scenario, win  # the rows' runner, same arguments

STORE = os.path.join(os.environ["WINEPREFIX"], "drive_c/users", getpass.getuser(), "AppData/Local/Quilla/CrashReports")
FLUSH = '"%s" --send-pending' % win(REPORTER)


def drive(cmd, *actions):
    """The reporter run by the driver with this command line: its debugger output."""
    args = ["wine", DRIVER, win(REPORTER), cmd.encode("latin-1").hex(), *actions]
    lines = subprocess.run(args, stdout=subprocess.PIPE, check=True, timeout=600).stdout.decode().splitlines()
    return [bytes.fromhex(line[4:]).decode("latin-1") for line in lines if line.startswith("out ")]


def store(ext=""):
    return sorted(n for n in os.listdir(STORE) if n.endswith(ext)) if os.path.isdir(STORE) else []


def norm(request):  # the raw bytes, the random boundary replaced
    return request.raw.replace(re.search(rb"boundary=(\S+)", request.raw).group(1), b"B")


class Pending(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(STORE, ignore_errors=True)
        self.addCleanup(shutil.rmtree, STORE, True)
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def crash(self, content, click=1000):
        """One crash, the user pressing `click`; then the product deletes its crash file."""
        path = os.path.join(self.tmp, "crash%d.dmp" % len(content))
        with open(path, "wb") as f:
            f.write(content)
        entries = [("module", win(PROBE)), ("crash file", win(path)), ("version", "4.2 b&c")]
        out = drive('"%s" ' % win(REPORTER) + "".join("%s:%s\r\n\t" % e for e in entries), "dialog", "click:%d" % click)
        os.remove(path)
        return out

    def seed(self, name, days_ago, attempts, size):  # an entry as the reporter writes it
        first = int((time.time() + 11644473600 - days_ago * 86400) * 10**7)  # FILETIME
        with open(os.path.join(STORE, name + ".dmp"), "wb") as f:
            f.truncate(size)
        with open(os.path.join(STORE, name + ".rec"), "wb") as f:
            f.write(b"QuillaPendingReport 1\r\nversion=1\r\nfilename=c\r\nfirst=%016X\r\nattempts=%d\r\nsize=%d\r\n"
                    b"last=503\r\n" % (first, attempts, size))

    def test_kept_unless_delivered_or_final_then_each_delivered_once_as_first_sent(self):
        rows = [  # name, the answer (None: nothing listens), kept; "%PDF": the part type is sniffed
            ("down", None, True),
            ("503", {"status": "503 Service Unavailable", "body": "busy"}, True),
            ("408", {"status": "408 Request Timeout"}, True),
            ("429", {"status": "429 Too Many Requests"}, True),
            ("cut mid-body", {"close_after_body": 5000}, True),
            ("time-out", {"delay_ms": 15000}, True),
            ("404", {"status": "404 Not Found"}, False),
            ("cancel", {}, False),
        ]
        firsts = []
        for i, (name, answer, kept) in enumerate(rows):
            with self.subTest(name):
                content, first = b"%PDF-1.4 " + bytes(j * 7 % 251 for j in range(300000 + i)), None
                if answer is None:
                    self.crash(content)
                else:
                    with Scenario(int(PORT)) as s:
                        s.script(answer)
                        self.crash(content, 1000 if answer else 1001)
                        self.assertEqual(s.count(), 1 if answer else 0)
                        first = s.wait(0) if kept else None
                self.assertEqual(len(store(".rec")), len(firsts) + kept)
                if kept:
                    firsts.append((first, content))
        with Scenario(int(PORT)) as s:
            self.crash(b"delivered")
            self.assertEqual(store(), [])
            self.assertEqual(s.count(), 1 + len(firsts))
            for i, (first, content) in enumerate(firsts):
                with self.subTest(rows[i][0]):
                    late = norm(s.wait(1 + i))
                    self.assertTrue(late.endswith(content + b"\r\n--B--\r\n"))
                    if first:  # a cut first attempt is the start of it
                        self.assertEqual(late if first.complete else late[: len(norm(first))], norm(first))

    def test_bounds_drop_the_oldest_half_entries_go_and_two_flushes_send_each_once(self):
        os.makedirs(STORE)
        self.seed("old", 31, 1, 100)
        self.seed("tired", 2, 10, 100)
        for i in range(10):
            self.seed("s%d" % i, 1 - i / 1000, 1, 1000)
        self.seed("bad", 0.9, 1, 100)
        for name, content in (("bad.dmp", b"not 100 bytes"), ("half.dmp", b"no record"), ("c.rec.tmp", b"")):
            with open(os.path.join(STORE, name), "wb") as f:
                f.write(content)
        with Scenario(int(PORT)) as s:
            s.default({"status": "503 Service Unavailable"})
            out = self.crash(b"a" * 2000)
            for drop in ("old dropped: older than 30 days", "tired dropped: 10 attempts failed",
                         "s0 dropped: beyond 10 reports or 256 MiB"):
                self.assertIn("Pending report %s\r\n" % drop, out)
            self.assertEqual(store(".rec")[1:], ["s%d.rec" % i for i in range(1, 10)])  # the new one's name sorts first
            self.assertEqual(len(store()), 20)  # ten whole entries, nothing else
            self.seed("big", 0.5, 1, 256 * 2**20 - 1024)  # with the two new ones over 256 MiB
            self.crash(b"b" * 2000)
            self.assertEqual(len(store(".rec")), 2)

            # A failed flush counts the attempt and stops at the first report.
            self.assertRegex(drive(FLUSH)[0], r"^Pending report \w+-\w+ not sent: 503 Service Unavailable\r\n$")
            self.assertEqual(s.count(), 3)
            s.default({"delay_ms": 500})
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                outs = list(pool.map(lambda _: drive(FLUSH), range(2)))
            self.assertEqual(s.count(), 5)
            self.assertEqual(store(), [])
            self.assertEqual(sorted(len(o) for o in outs), [0, 2])  # one line per delivery, all by one


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
