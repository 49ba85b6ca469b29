#!/usr/bin/env python3
"""The launch helper, under the run's ANSI code page: the refusal rows of launch_cases.txt through
launch_line.exe, and the lines it builds for awkward values through the real reporter, driven and
checked as test_reporter.py does its rows.
Usage: test_launch.py LAUNCH_LINE DRIVER REPORTER PROBE REPORT_PORT"""
import ast
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCH = sys.argv.pop(1)
sys.path.insert(0, os.path.join(HERE, "..", "app"))
import test_reporter as t  # noqa: E402  (takes DRIVER REPORTER PROBE REPORT_PORT from sys.argv)

with open(os.path.join(HERE, "launch_cases.txt"), encoding="utf-8") as f:
    CASES = ast.literal_eval(f.read())


def build(rows):
    """Eight values (None: null) per row -> (result code, command line) per row, via the helper."""
    text = "".join(" ".join("-" if x is None else x.encode("latin-1").hex() or "." for x in r) + "\n" for r in rows)
    out = subprocess.run(["wine", LAUNCH], input=text.encode(), stdout=subprocess.PIPE, check=True, timeout=600)
    lines = [line.split(" ") for line in out.stdout.decode().splitlines()]
    return [(int(code), bytes.fromhex(line).decode("latin-1")) for code, line in lines]


class Launch(t.Reporter):
    def test_refusals(self):
        me = t.win(LAUNCH)
        v = {"self": me, "SELF": me.upper(), "slashes": me.replace("\\", "/"), "x1023": "x" * 1023, "r257": "r" * 257}
        rows = CASES["refusals"]
        for row, (code, _) in zip(rows, build([t.expand(r[1:9], v) for r in rows]), strict=True):
            want = row[9].get(t.ACP) if isinstance(row[9], dict) else row[9]
            self.assertEqual(code, want, row[0])

    def run_helper_row(self, case):
        ansi = lambda s: s.encode(t.CODEC).decode("latin-1")  # noqa: E731  what the product holds
        head, piece, n = case["folder"]
        os.makedirs(os.path.join(self.tmp, head + piece * n))
        path = os.path.join(self.tmp, head + piece * n, "crash 1.dmp")
        with open(path, "wb") as f:
            f.write(bytes(i * 7 % 256 for i in range(5000)))  # the rows' "bin:5000"
        v = {k: ansi(x) for k, x in case["values"].items()}
        v.update({"crash file": ansi(t.win(path)), "module": t.win(t.PROBE)})
        keys = ["crash file", "module", "except", "code", "addr", "version", "lngfile"]
        order = [t.win(t.REPORTER), "module", "version", "lngfile", "crash file", "except", "code", "addr"]
        [(code, cmd)] = build([[order[0]] + [v[k] for k in order[1:]]])
        self.assertEqual(code, 0)
        row = dict(case["row"], cmd=cmd, entries=[[k, v[k]] for k in keys], file="bin:5000", dump="${ok}")
        row["texts"] = {1002: case["values"]["except"], 1003: case["values"]["addr"], 1004: case["values"]["code"]}
        row["request"] = "POST /vorlex.php?version=%s HTTP/1.1\r\n${upload}" % ansi(case["query"])
        self.run_row(row)


for c in CASES["reporter"]:
    if c["acp"] == t.ACP:
        setattr(Launch, "test_" + c["name"], lambda self, c=c: self.run_helper_row(c))

if __name__ == "__main__":
    # Only this file's tests: the reporter's own rows, which Launch inherits, run in their own test.
    unittest.main(argv=sys.argv[:1], defaultTest=["Launch." + n for n in vars(Launch) if n.startswith("test_")], verbosity=2)
