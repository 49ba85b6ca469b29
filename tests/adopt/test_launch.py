#!/usr/bin/env python3
"""The launch helper in a product-like probe: refusals, the reporter and the flush it starts
(launch_cases.txt), and its lines for awkward values through the real reporter as test_reporter.py
runs its rows. Usage: test_launch.py LAUNCH_LINE DRIVER REPORTER PROBE REPORT_PORT"""
import ast, os, shutil, subprocess, sys, time, unittest  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCH = sys.argv.pop(1)
sys.path.insert(0, os.path.join(HERE, "..", "app"))
import test_reporter as t  # noqa: E402  (takes DRIVER REPORTER PROBE REPORT_PORT from sys.argv)
import test_pending  # noqa: E402  (its store and entries as the reporter writes them)

CASES = ast.literal_eval(open(os.path.join(HERE, "launch_cases.txt"), encoding="utf-8").read())


def build(rows):  # eight values (None: null) and an action per row -> (result, command line)s
    hexed = lambda x: "-" if x is None else x.encode("latin-1").hex() or "."  # noqa: E731
    text = "".join(" ".join([hexed(x) for x in r[:8]] + r[8:]) + "\n" for r in rows)
    out = subprocess.run(["wine", LAUNCH], input=text.encode(), stdout=subprocess.PIPE, check=True, timeout=600)
    lines = (line.partition(" ") for line in out.stdout.decode().splitlines())
    return [(result, bytes.fromhex(h).decode("latin-1")) for result, _, h in lines]


class Launch(t.Reporter):
    def test_refusals_starts_and_flush(self):
        # A copy of the reporter in a folder of mixed-case names, and a report kept for the flush.
        vorlex = os.path.join(os.environ["WINEPREFIX"], "drive_c/Program Files/Vorlex")
        os.makedirs(vorlex, exist_ok=True)
        shutil.copy(t.REPORTER, os.path.join(vorlex, "crashreport.exe"))
        test_pending.Pending.seed(self, 0, 1, 5000)
        rows, v = CASES["refusals"], {"self": t.win(LAUNCH), "x1023": "x" * 1023, "r257": "r" * 257}
        wants = [str(r[9].get(t.ACP) if isinstance(r[9], dict) else r[9]) for r in rows]
        actions = [{"dialog": "start", "flush": "flush"}.get(want, "build") for want in wants]
        with t.Scenario(int(t.PORT)):
            got = build([t.expand(r[1:9], v) + [a] for r, a in zip(rows, actions)])
            for row, want, (result, _) in zip(rows, wants, got, strict=True):
                self.assertEqual(result, want, row[0])
            end = time.monotonic() + 60  # delivered, then taken out of the store
            while test_pending.store() and time.monotonic() < end:
                time.sleep(0.05)
            self.assertEqual(test_pending.store(), [])

    def run_helper_row(self, case):
        ansi = lambda s: s.encode(t.CODEC).decode("latin-1")  # noqa: E731  text as the product holds it
        head, piece, n = case["folder"]
        v = dict({k: ansi(x) for k, x in case["values"].items()}, module=t.win(t.PROBE))
        v["crash file"] = self.crash_file({"file": "bin:5000", "folder": {t.ACP: head + piece * n}}, {})
        order = ("module", "version", "lngfile", "crash file", "except", "code", "addr")  # the helper's arguments
        [(code, cmd)] = build([[t.win(t.REPORTER)] + [v[k] for k in order] + ["build"]])
        self.assertEqual(code, "0")
        keys = ["crash file", "module", "except", "code", "addr", "version", "lngfile"]  # the order it writes
        self.run_row(dict(case["row"], cmd=cmd, entries=[[k, v[k]] for k in keys], file="bin:5000", dump="${ok}",
                          requests=1))


for c in CASES["reporter"]:
    t.validate(dict(c["row"], name=c["name"], acp=c["acp"], requests=1))
    if c["acp"] == t.ACP:
        setattr(Launch, "test_" + c["name"], lambda self, c=c: self.run_helper_row(c))

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
