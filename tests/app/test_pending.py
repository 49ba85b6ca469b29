#!/usr/bin/env python3
"""Reports the user chose to send are kept in the reporter's store before their first byte and
delivered later by the flush process (--send-pending): each once, byte for byte as first sent,
whatever ends a reporter meanwhile (reporter_driver.exe, the scenario server, pending_cases.txt).
Usage: test_pending.py DRIVER REPORTER PROBE REPORT_PORT [unittest args]"""
import ast, collections, concurrent.futures, os, pathlib, random, re, shutil, sys, tempfile, time  # noqa: E401
import unittest

from test_reporter import DRIVEN, HERE, PORT, PROBE, REPORTER, STORE, Driver, Scenario, outputs, win  # the runner

FLUSH = '"%s" --send-pending' % win(REPORTER)
DEVICES = ["COM1.rec", "AUX.dmp", "NUL.rec", "CON.tmp", "LPT1.rec", "notes.txt"]  # not the store's: left alone
VERSION = "4.2 b&c %41 9%" + "-" * 9000  # its record is over 8 KiB, and is read back as it was
CASES = ast.literal_eval(pathlib.Path(HERE, "pending_cases.txt").read_text(encoding="utf-8"))


def drive(cmd, *actions, driver=DRIVEN):
    """The reporter run by the driver with this command line: its debugger output."""
    return outputs(driver.run(REPORTER, cmd, list(actions)))


def store(ext=""):
    names = os.listdir(STORE) if os.path.isdir(STORE) else []
    return sorted(n for n in names if n.endswith(ext) and n not in DEVICES + ["store.lock"])


def flush_all():  # the flush's time limit may leave some to the next one
    for _ in range(3):
        if store():  # a lone .sent too: a reporter killed between its deletes leaves it
            drive(FLUSH)


def norm(request):  # the raw bytes, the random boundary replaced
    return request.raw.replace(re.search(rb"boundary=(\S+)", request.raw).group(1), b"B")


def part(request):  # the file part of a whole request
    return norm(request).partition(b"\r\n\r\n")[2].partition(b"\r\n\r\n")[2][: -len(b"\r\n--B--\r\n")]


class Pending(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(STORE, ignore_errors=True)
        self.addCleanup(shutil.rmtree, STORE, True)
        self.pool = self.enterContext(concurrent.futures.ThreadPoolExecutor(2))

    def crash(self, content, *actions):
        """One crash, the user pressing send (or the actions); then the product deletes its crash file."""
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "crash %41 9%.dmp")
            pathlib.Path(path).write_bytes(content)
            entries = [("module", win(PROBE)), ("crash file", win(path)), ("version", VERSION)]
            cmd = '"%s" ' % win(REPORTER) + "".join("%s:%s\r\n\t" % e for e in entries)
            return drive(cmd, "dialog", *(actions or ["click:1000"]))

    def seed(self, days_ago, attempts, size, n=0, content=None):  # an entry as the reporter writes it: its id
        first = int((time.time() + 11644473600 - days_ago * 86400) * 10**7)  # FILETIME
        name = "%016X-%08X" % (first, n)
        os.makedirs(STORE, exist_ok=True)
        with open(os.path.join(STORE, name + ".dmp"), "wb") as f:
            f.write(content) if content else f.truncate(size)
        fields = b"first=%016X\r\nattempts=%d\r\nsize=%d\r\nlast=503\r\n" % (first, attempts, size)
        pathlib.Path(STORE, name + ".rec").write_bytes(b"QuillaPendingReport 1\r\nversion=1\r\nfilename=c\r\n" + fields)
        return name

    def test_kept_unless_delivered_or_final_then_each_delivered_once_as_first_sent(self):
        firsts = []  # each kept report's first request (None: none whole to compare) and content
        for i, (name, answer, requests, kept, *actions) in enumerate(CASES["answers"]):
            with self.subTest(name):
                content = b"%PDF-1.4 " + bytes(j * 7 % 251 for j in range(300000 + i))  # the part type is sniffed
                with Scenario(int(PORT) if answer is not None else 0) as s:
                    s.script(answer or {})
                    self.crash(content, *actions)
                    self.assertEqual(s.count(), requests, "requests")
                    firsts += [(s.wait(0) if requests else None, content)] * kept
                self.assertEqual(len(store(".rec")), len(firsts), "kept")
        with Scenario(int(PORT)) as s:
            self.crash(b"delivered")
            flush_all()
            self.assertEqual(store(), [])
            self.assertEqual(s.count(), 1 + len(firsts))
            for i, (first, content) in enumerate(firsts):
                with self.subTest(i):
                    late = norm(s.wait(1 + i))
                    self.assertTrue(late.endswith(content + b"\r\n--B--\r\n"))
                    if first:  # a cut first attempt is the start of it
                        self.assertEqual(late if first.complete else late[: len(norm(first))], norm(first))

    def test_bounds_drop_the_oldest_invalid_entries_go_and_two_flushes_send_each_once(self):
        ids = {key: self.seed(days, attempts, size, n, content and content.encode())
               for n, (key, days, attempts, size, content, _) in enumerate(CASES["seeds"])}
        for name in DEVICES:
            open(os.path.join(STORE, name), "wb").close()
        os.replace(os.path.join(STORE, ids["half"] + ".rec"), os.path.join(STORE, ids["half"] + ".rec.tmp"))
        with Scenario(int(PORT)) as s:
            s.default({"status": "503 Service Unavailable"})
            out = self.crash(b"a" * 2000)
            for key, *_, why in CASES["seeds"]:
                if why:
                    self.assertIn("Pending report %s dropped: %s\r\n" % (ids[key], why), out)
            kept = sorted(ids[key] + ".rec" for key, *_, why in CASES["seeds"] if not why)
            self.assertEqual(store(".rec")[:-1], kept)  # the one kept now is the youngest
            self.seed(0.5, 1, 256 * 2**20 - 1024, 99)  # with the two new ones over 256 MiB
            self.crash(b"b" * 2000)
            self.assertEqual(len(store(".rec")), 2)

            # A failed flush counts the attempt and stops at the first report.
            self.assertRegex(drive(FLUSH)[0], r"^Pending report \w+-\w+ not sent: 503 Service Unavailable\r\n$")
            self.assertEqual(s.count(), 3)
            s.default({"delay_ms": 300})
            outs = list(self.pool.map(lambda d: drive(FLUSH, driver=d), [Driver(), Driver()]))
            self.assertEqual(s.count(), 5)
            self.assertEqual(sorted(len(o) for o in outs), [0, 2])  # one line per delivery, all by one
            self.assertEqual(sorted(set(os.listdir(STORE)) - {"store.lock"}), sorted(DEVICES))
            # A report being sent is held by its sender: a flush meanwhile leaves it alone. The
            # stall ends within the reporter's time-out, so that the send is delivered.
            s.script({"stall_after_body": 1000, "stall_ms": 2000})
            first = self.pool.submit(self.crash, b"c" * 5000)
            while not store(".rec") and not first.done():
                time.sleep(0.01)
            self.assertEqual(drive(FLUSH, driver=Driver()), [])
            first.result()
            self.assertEqual((s.count(), store()), (6, []))

    def test_each_report_taken_when_its_turn_comes(self):
        ids = [self.seed(1 - n / 1000, 1, 5000 + n, n, bytes([65 + n]) * (5000 + n)) for n in range(7)]
        open(os.path.join(STORE, ids[6] + ".sent"), "wb").close()  # delivered, its files not yet deleted
        rec = os.path.join(STORE, ids[1] + ".rec")
        with Scenario(int(PORT)) as s:
            s.script({"status": "404 Not Found"})
            self.assertEqual(drive(FLUSH), ["Pending report %s dropped: answered 404 Not Found\r\n" % ids[0]])
            # The second's record held by another program: skipped, not deleted. The third's answer
            # comes late: meanwhile the fourth's copy goes, so it is dropped and not sent. The fifth
            # takes longer than the flush's limit but moves: delivered, and no send starts after it.
            s.script({"delay_ms": 300}, {"stall_after_body": 1000, "stall_ms": 2000})
            flush = self.pool.submit(drive, FLUSH, "hold:" + win(rec).encode().hex())
            s.wait(1)
            os.remove(os.path.join(STORE, ids[3] + ".dmp"))
            lines = [(2, "delivered: 200 OK"), (3, "dropped: its copy is missing"), (4, "delivered: 200 OK")]
            self.assertEqual(flush.result(), ["Pending report %s %s\r\n" % (ids[n], why) for n, why in lines])
            self.assertEqual(len(drive(FLUSH)), 2)
            sent = [bytes([65 + n]) * (5000 + n) for n in [0, 2, 4, 1, 5]]
            self.assertEqual([part(s.wait(i)) for i in range(s.count())], sent)
            self.assertEqual(store(), [])

    def test_killed_at_random_each_report_arrives_once_and_whole(self):
        seed, contents = random.randrange(2**32), []
        rnd, expected = random.Random(seed), {}  # reports kept when last seen: how often the server gets them in all
        with Scenario(int(PORT)) as s:
            def received():  # whole requests by their file part
                return collections.Counter(part(s.wait(i)) for i in range(s.count()) if s.wait(i).complete)
            s.default({"stall_after_body": 20000, "stall_ms": 120, "delay_ms": 120})
            for r in range(10):  # the reporter ended at a random moment of its first send or of a flush
                moment = ["pause:%d" % rnd.randrange(1, 600), "kill"]
                if store(".rec") and rnd.random() < 0.4:
                    drive(FLUSH, *moment)
                else:
                    contents.append(b"round %d " % r + rnd.randbytes(60000))
                    self.crash(contents[-1], "click:1000", *moment)
                s.settle()
                got = received()
                for i in {n[:-4] for n in store(".rec")} - {n[:-5] for n in store(".sent")}:
                    content = pathlib.Path(STORE, i + ".dmp").read_bytes()
                    expected[content] = got[content] + 1  # still kept: it goes once more, whatever the server has
            s.default({})
            flush_all()
            got, raw = received(), b"".join(s.wait(i).raw for i in range(s.count()))
        self.assertEqual(store(), [], "seed %d" % seed)
        self.assertLessEqual(set(got), set(contents), "seed %d" % seed)  # each one of the reports, whole
        for c in contents:  # kept before its first byte went out, so never lost
            if c in expected or c[:12] in raw:
                self.assertEqual(got[c], expected.get(c, 1), "seed %d" % seed)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[5:], verbosity=2)
