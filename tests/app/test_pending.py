#!/usr/bin/env python3
"""Reports that did not get through are kept in the reporter's store and delivered later by the
flush process (--send-pending) that the next delivered send starts: each once, byte for byte as
first sent. Drives crashreport.exe through reporter_driver.exe against the scenario server.
Usage: test_pending.py DRIVER REPORTER PROBE REPORT_PORT [unittest args]"""
import concurrent.futures, os, re, shutil, sys, tempfile, time, unittest  # noqa: E401

from test_reporter import DRIVEN, PORT, PROBE, REPORTER, STORE, Driver, Scenario, win  # the rows' runner

FLUSH = '"%s" --send-pending' % win(REPORTER)


def output(seen):
    return [bytes.fromhex(x).decode("latin-1") for x in seen.get("out", [])]


def store(ext=""):
    return sorted(n for n in os.listdir(STORE) if n.endswith(ext)) if os.path.isdir(STORE) else []


def norm(request):  # the raw bytes, the random boundary replaced
    return request.raw.replace(re.search(rb"boundary=(\S+)", request.raw).group(1), b"B")


class Pending(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(STORE, ignore_errors=True)
        self.addCleanup(shutil.rmtree, STORE, True)
        self.tmp = self.enterContext(tempfile.TemporaryDirectory())

    def crash(self, content, click=1000):
        """One crash, the user pressing `click`; then the product deletes its crash file."""
        path = os.path.join(self.tmp, "crash%d.dmp" % len(content))
        with open(path, "wb") as f:
            f.write(content)
        entries = [("module", win(PROBE)), ("crash file", win(path)), ("version", "4.2 b&c")]
        cmd = '"%s" ' % win(REPORTER) + "".join("%s:%s\r\n\t" % e for e in entries)
        out = output(DRIVEN.run(REPORTER, cmd, ["dialog", "click:%d" % click]))
        os.remove(path)
        return out

    def seed(self, name, days_ago, attempts, size):  # an entry as the reporter writes it
        first = int((time.time() + 11644473600 - days_ago * 86400) * 10**7)  # FILETIME
        with open(os.path.join(STORE, name + ".dmp"), "wb") as f:
            f.truncate(size)
        with open(os.path.join(STORE, name + ".rec"), "wb") as f:
            f.write(b"QuillaPendingReport 1\r\nversion=1\r\nfilename=c\r\nfirst=%016X\r\n" % first)
            f.write(b"attempts=%d\r\nsize=%d\r\nlast=503\r\n" % (attempts, size))

    def test_kept_unless_delivered_or_final_then_each_delivered_once_as_first_sent(self):
        rows = [  # name, the answer (None: nothing listens), kept; "%PDF": the part type is sniffed
            ("down", None, True),
            ("503", {"status": "503 Service Unavailable", "body": "busy"}, True),
            ("408", {"status": "408 Request Timeout"}, True),
            ("429", {"status": "429 Too Many Requests"}, True),
            ("cut mid-body", {"close_after_body": 5000}, True),
            ("time-out", {"delay_ms": 60000}, True),
            ("404", {"status": "404 Not Found"}, False),
            ("cancel", {}, False),
        ]
        firsts = []  # (the first attempt as the server got it, or None, the crash file's content)
        for i, (name, answer, kept) in enumerate(rows):
            with self.subTest(name):
                content, first = b"%PDF-1.4 " + bytes(j * 7 % 251 for j in range(300000 + i)), None
                if answer is None:
                    self.crash(content)
                else:
                    with Scenario(int(PORT)) as s:
                        s.script(answer)
                        self.crash(content, 1000 if answer else 1001)
                        self.assertEqual(s.count(), 1 if answer else 0, "requests")
                        first = s.wait(0) if kept else None
                self.assertEqual(len(store(".rec")), len(firsts) + kept, "kept")
                if kept:
                    firsts.append((first, content))
        with Scenario(int(PORT)) as s:
            self.crash(b"delivered")
            self.assertEqual(store(), [], "store after the flush")
            self.assertEqual(s.count(), 1 + len(firsts), "requests")
            for i, (first, content) in enumerate(firsts):
                with self.subTest(rows[i][0]):
                    late = norm(s.wait(1 + i))
                    self.assertTrue(late.endswith(content + b"\r\n--B--\r\n"), "the late report's file")
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
            # The new one's name sorts first; ten whole entries, nothing else.
            self.assertEqual(store(".rec")[1:], ["s%d.rec" % i for i in range(1, 10)], "kept")
            self.assertEqual(len(store()), 20, "files in the store")
            self.seed("big", 0.5, 1, 256 * 2**20 - 1024)  # with the two new ones over 256 MiB
            self.crash(b"b" * 2000)
            self.assertEqual(len(store(".rec")), 2, "kept within 256 MiB")

            # A failed flush counts the attempt and stops at the first report.
            out = output(DRIVEN.run(REPORTER, FLUSH, []))
            self.assertRegex(out[0], r"^Pending report \w+-\w+ not sent: 503 Service Unavailable\r\n$")
            self.assertEqual(s.count(), 3, "requests")
            s.default({"delay_ms": 500})
            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                outs = list(pool.map(lambda d: output(d.run(REPORTER, FLUSH, [])), [Driver(), Driver()]))
            self.assertEqual(s.count(), 5, "requests")
            self.assertEqual(store(), [], "store after the flushes")
            self.assertEqual(sorted(len(o) for o in outs), [0, 2], "lines of the flushes: all by one")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
