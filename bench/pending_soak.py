#!/usr/bin/env python3
"""The store of kept reports under stress, against the scenario server on the report port:
  kills   N: each round a reporter whose send fails (503) is killed at a random moment after the
            user pressed send (while it keeps the report or sends it), then a flush against a
            healthy server: no report may arrive cut or twice, every report kept whole arrives, and
            nothing may be left in the store.
  crashes N: N crashes against a server that fails half of all requests at random, then one flush
            against a healthy one: every report must arrive exactly once.
Run inside the build's Wine session, e.g.
  xvfb-run -a bash scripts/wine-session.sh python3 bench/pending_soak.py build kills 300
Prints the figures; exits non-zero when a report arrived cut or twice, or one was lost."""
import getpass
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from scenario import Scenario  # noqa: E402

BUILD, MODE, COUNT = os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3])
DRIVER = os.path.join(BUILD, "tests/app/reporter_driver.exe")
REPORTER = os.path.join(BUILD, "app/crashreport.exe")
PROBE = os.path.join(BUILD, "tests/app/restart_probe.exe")
PORT = int(re.search(r"QUILLA_REPORT_URL:STRING=http://127.0.0.1:(\d+)/", open(os.path.join(BUILD, "CMakeCache.txt")).read()).group(1))
STORE = os.path.join(os.environ["WINEPREFIX"], "drive_c/users", getpass.getuser(), "AppData/Local/Quilla/CrashReports")
TMP = tempfile.mkdtemp(prefix="quilla-soak-")


def win(path):
    return "Z:" + path.replace("/", "\\")


def driver(cmd, *actions):
    args = ["wine", DRIVER, win(REPORTER), cmd.encode("latin-1").hex(), *actions]
    return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def crash(tag, size):
    """Starts a reporter whose user presses send; the crash file's content names the report."""
    path = os.path.join(TMP, "crash-%s.dmp" % tag)
    with open(path, "wb") as f:
        f.write(b"REPORT %s " % tag.encode() + os.urandom(size))
    cmd = '"%s" module:%s\r\n\tcrash file:%s\r\n\tversion:soak\r\n\t' % (win(REPORTER), win(PROBE), win(path))
    return driver(cmd, "dialog", "click:1000"), path


def flush():
    driver('"%s" --send-pending' % win(REPORTER)).communicate(timeout=600)


def reporter_pid():
    """The Wine process of the reporter that this run started: its command line names this build's exe."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")[0] == win(REPORTER).encode():
                return int(pid)
        except OSError:
            pass
    return None


def entries(ext):
    return [n for n in os.listdir(STORE) if n.endswith(ext) and n != "store.lock"] if os.path.isdir(STORE) else []


def tags(requests):
    return [re.search(rb"REPORT (\S+) ", r.raw).group(1).decode() for r in requests]


def kills():
    figures = dict(rounds=COUNT, killed=0, kept_whole=0, kept_none=0, delivered=0, duplicates=0, cut_or_left=0)
    got = set()
    with Scenario(PORT) as s:
        for i in range(COUNT):
            s.reset()
            s.default({"status": "503 Service Unavailable"})
            proc, path = crash("k%d" % i, 16 << 20)
            while reporter_pid() is None and proc.poll() is None:
                time.sleep(0.01)
            pid = reporter_pid()
            time.sleep(random.uniform(0.5, 1.5))  # its dialog comes up, the driver presses send
            if pid and proc.poll() is None:
                os.kill(pid, signal.SIGKILL)
                figures["killed"] += 1
            proc.communicate(timeout=600)
            os.remove(path)
            whole = len(entries(".rec"))
            figures["kept_whole" if whole else "kept_none"] += 1
            s.default({})
            n = s.count()
            flush()
            late = [s.wait(j) for j in range(n, s.count())]
            figures["cut_or_left"] += sum(not r.complete for r in late)
            figures["delivered"] += len(late)
            figures["duplicates"] += len(got & set(tags(late))) + len(late) - len(set(tags(late)))
            got |= set(tags(late))
            left = entries("")
            if left:
                print("round %d left in the store: %s" % (i, left))
                figures["cut_or_left"] += 1
            if i % 10 == 9:
                print(" ".join("%s=%s" % kv for kv in figures.items()), flush=True)
    return figures, figures["duplicates"] or figures["cut_or_left"] or figures["delivered"] != figures["kept_whole"]


def crashes():
    figures = dict(sent=COUNT, attempts=0, failed=0, delivered=0, duplicates=0, lost=0, dropped_by_bounds=0)
    delivered = []
    with Scenario(PORT) as s:
        answers = [random.choice(["200 OK", "503 Service Unavailable"]) for _ in range(20 * COUNT)]
        s.script(*({"status": a} for a in answers))
        for i in range(COUNT):
            proc, path = crash("c%d" % i, 64 << 10)
            out = proc.communicate(timeout=600)[0].decode()
            # The reporters' own drops (a flush's go to its own debugger output, unseen here).
            figures["dropped_by_bounds"] += sum(
                "dropped" in bytes.fromhex(line[4:]).decode("latin-1") for line in out.splitlines() if line.startswith("out ")
            )
            os.remove(path)
            if i % 20 == 19:
                print("crashes so far: %d, requests: %d" % (i + 1, s.count()), flush=True)
        first = [s.wait(j) for j in range(s.count())]
        figures["attempts"] = len(first)
        figures["failed"] = sum(a != "200 OK" for a in answers[: len(first)])
        delivered += [t for t, r, a in zip(tags(first), first, answers) if r.complete and a == "200 OK"]
        s.reset()
        s.default({})
        flush()  # the product's start-up, say, once the server is healthy again
        late = [s.wait(j) for j in range(s.count())]
        delivered += [t for t, r in zip(tags(late), late) if r.complete]
    figures["delivered"] = len(set(delivered))
    figures["duplicates"] = len(delivered) - len(set(delivered))
    figures["lost"] = COUNT - len(set(delivered))
    # Reports dropped by the store's bounds are gone by design; any other loss is a fault.
    return figures, figures["duplicates"] or figures["lost"] > figures["dropped_by_bounds"]


def main():
    shutil.rmtree(STORE, ignore_errors=True)
    try:
        if MODE == "kills":
            figures, failed = kills()
        else:
            figures, failed = crashes()
        print(" ".join("%s=%s" % kv for kv in figures.items()), flush=True)
        return 1 if failed else 0
    finally:
        shutil.rmtree(TMP, ignore_errors=True)
        shutil.rmtree(STORE, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
