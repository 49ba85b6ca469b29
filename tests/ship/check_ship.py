#!/usr/bin/env python3
"""Checks the shipped reporter: at most MAX_BYTES, no debug sections or symbols of its own, and a
debug link naming EXE.debug beside it with that file's CRC, whose sections lie where the exe's do,
and a version resource naming the report URL it was built for.
Usage: check_ship.py OBJDUMP OBJCOPY EXE MAX_BYTES URL"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib


def sections(objdump, path):
    out = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    rows = re.findall(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s", out, re.M)
    return {name: (int(size, 16), int(vma, 16)) for name, size, vma in rows}


def main():
    objdump, objcopy, exe, max_bytes, url = sys.argv[1:6]
    max_bytes = int(max_bytes)
    debug = exe + ".debug"
    failures = []
    size = os.path.getsize(exe)
    if size > max_bytes:
        failures.append(f"{exe} is {size} bytes, more than {max_bytes}")

    exe_sections = sections(objdump, exe)
    debug_sections = sections(objdump, debug)
    leftovers = [name for name in exe_sections if name.startswith(".debug")]
    if leftovers:
        failures.append(f"{exe} still holds {', '.join(leftovers)}")
    symbols = subprocess.run([objdump, "-t", exe], capture_output=True, text=True).stdout
    if not re.search(r"no symbols", symbols):
        failures.append(f"{exe} still holds a symbol table")
    if ".debug_info" not in debug_sections:
        failures.append(f"{debug} holds no .debug_info")
    for name in (".text", ".rdata", ".data"):
        exe_at, debug_at = exe_sections.get(name), debug_sections.get(name)
        if exe_at != debug_at:
            failures.append(f"{name}: {exe_at} in the exe, {debug_at} in the symbols")

    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "debuglink")
        dump = [objcopy, "--dump-section", f".gnu_debuglink={link}", exe, os.path.join(tmp, "copy")]
        subprocess.run(dump, check=True, capture_output=True)
        data = open(link, "rb").read()
    name = data[:data.index(b"\0")].decode()
    (crc,) = struct.unpack_from("<I", data, len(data) - 4)
    if name != os.path.basename(debug):
        failures.append(f"debug link names {name!r}, not {os.path.basename(debug)!r}")
    actual = zlib.crc32(open(debug, "rb").read())
    if crc != actual:
        failures.append(f"debug link CRC {crc:08x} does not match {debug} ({actual:08x})")

    key = "ReportURL".encode("utf-16-le")
    data = open(exe, "rb").read()
    after = data[data.find(key) + len(key) :].decode("utf-16-le", "replace")
    named = after.lstrip("\0").split("\0")[0]
    if key not in data or named != url:
        failures.append(f"the version resource names report URL {named!r}, not {url!r}")

    for failure in failures:
        print(failure)
    if not failures:
        print(f"{exe}: {size} bytes, debug link {name} crc {crc:08x}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
