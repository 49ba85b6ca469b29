#!/usr/bin/env python3
"""Checks the shipped reporter: at most MAX_BYTES, no debug sections or symbols of its own, a debug
link naming EXE.debug beside it with that file's CRC and sections where the exe's lie, and a
version resource naming the report URL it was built for. Usage: OBJDUMP OBJCOPY EXE MAX_BYTES URL"""
import os, re, struct, subprocess, sys, tempfile, zlib  # noqa: E401

objdump, objcopy, exe, max_bytes, url = sys.argv[1:6]
debug, base = exe + ".debug", os.path.basename(exe + ".debug")


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, capture_output=True, text=True).stdout


def sections(path):  # name: (size, address)
    rows = re.findall(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s", run(objdump, "-h", path), re.M)
    return {n: (int(size, 16), int(vma, 16)) for n, size, vma in rows}


with tempfile.TemporaryDirectory() as tmp:
    run(objcopy, "--dump-section", ".gnu_debuglink=%s/link" % tmp, exe, tmp + "/copy")
    link = open(tmp + "/link", "rb").read()
name, (crc,) = link[: link.index(b"\0")].decode(), struct.unpack_from("<I", link, len(link) - 4)
size, ours, theirs = os.path.getsize(exe), sections(exe), sections(debug)
leftovers = [n for n in ours if n.startswith(".debug")]
key, data = "ReportURL".encode("utf-16-le"), open(exe, "rb").read()
named = data[data.find(key) + len(key) :].decode("utf-16-le", "replace")
named = named.lstrip("\0").split("\0")[0]
checks = [
    (size <= int(max_bytes), f"{exe} is {size} bytes, more than {max_bytes}"),
    (not leftovers, f"{exe} still holds {', '.join(leftovers)}"),
    ("no symbols" in run(objdump, "-t", exe, check=False), f"{exe} still holds a symbol table"),
    (".debug_info" in theirs, f"{debug} holds no .debug_info"),
    (name == base, f"debug link names {name!r}, not {base!r}"),
    (crc == zlib.crc32(open(debug, "rb").read()), f"debug link CRC {crc:08x} does not match {debug}"),
    (key in data and named == url, f"the version resource names report URL {named!r}, not {url!r}"),
]
for s in (".text", ".rdata", ".data"):
    where = f"{s}: {ours.get(s)} in the exe, {theirs.get(s)} in the symbols"
    checks.append((ours.get(s) == theirs.get(s), where))
failures = [why for ok, why in checks if not ok]
print("\n".join(failures) or f"{exe}: {size} bytes, debug link {name} crc {crc:08x}")
sys.exit(1 if failures else 0)
