#!/usr/bin/env python3
"""The launch helper's refusals (launch_cases.txt), and its lines for awkward values through the
real reporter as test_reporter.py runs its rows.
Usage: test_launch.py LAUNCH_LINE DRIVER REPORTER PROBE REPORT_PORT"""
import ast, os, subprocess, sys, tempfile, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCH = sys.argv.pop(1)
sys.path.insert(0, os.path.join(HERE, "..", "app"))
import test_reporter as t  # noqa: E402  (takes DRIVER REPORTER PROBE REPORT_PORT from sys.argv)

CASES = ast.literal_eval(open(os.path.join(HERE, "launch_cases.txt"), encoding="utf-8").read())


def hexed(value):  # as launch_line.exe reads it: "-" for null, "." for empty
    return "-" if value is None else value.encode("latin-1").hex() or "."


def build(rows):  # eight values per row -> (result code, command line) per row
    text = "".join(" ".join(hexed(x) for x in row) + "\n" for row in rows)
    out = subprocess.run(["wine", LAUNCH], input=text.encode(), capture_output=True, check=True)
    results = [line.split(" ") for line in out.stdout.decode().splitlines()]
    return [(int(code), bytes.fromhex(line).decode("latin-1")) for code, line in results]


class Launch(t.Reporter):
    def test_refusals(self):
        me, rows = t.win(LAUNCH), CASES["refusals"]
        v = {"self": me, "SELF": me.upper(), "slashes": me.replace("\\", "/"), "x1023": "x" * 1023}
        v["r257"] = "r" * 257
        for row, (code, _) in zip(rows, build([t.expand(r[1:9], v) for r in rows]), strict=True):
            self.assertEqual(code, row[9][t.ACP] if isinstance(row[9], dict) else row[9], row[0])

    def run_helper_row(self, case):
        ansi = lambda s: s.encode(t.CODEC).decode("latin-1")  # noqa: E731  as the product has it
        head, piece, n = case["folder"]
        tmp = self.enterContext(tempfile.TemporaryDirectory())
        path = os.path.join(tmp, head + piece * n, "crash 1.dmp")
        os.makedirs(os.path.dirname(path))
        with open(path, "wb") as f:
            f.write(bytes(i * 7 % 256 for i in range(5000)))  # as the rows' "bin:5000"
        v = dict({k: ansi(x) for k, x in case["values"].items()}, module=t.win(t.PROBE))
        v["crash file"] = ansi(t.win(path))
        order = ("module", "version", "lngfile", "crash file", "except", "code", "addr")  # its arguments
        [(code, cmd)] = build([[t.win(t.REPORTER)] + [v[k] for k in order]])
        self.assertEqual(code, 0)
        keys = ["crash file", "module", "except", "code", "addr", "version", "lngfile"]  # as it writes
        row = dict(case["row"], cmd=cmd, entries=[[k, v[k]] for k in keys], file="bin:5000", dump="${ok}")
        self.run_row(dict(row, requests=1))


for c in CASES["reporter"]:
    t.validate(dict(c["row"], name=c["name"], acp=c["acp"], requests=1))
    if c["acp"] == t.ACP:
        setattr(Launch, "test_" + c["name"], lambda self, c=c: self.run_helper_row(c))

if __name__ == "__main__":  # only these: the reporter's own rows, inherited, run in their own test
    tests = ["Launch." + n for n in vars(Launch) if n.startswith("test_")]
    unittest.main(argv=sys.argv[:1], defaultTest=tests, verbosity=2)
