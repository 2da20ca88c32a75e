#!/usr/bin/python3
"""fwimage check on planted files, one planted fault each, beside Python's
intelhex: check reports exactly what was planted, and every line intelhex
refuses is a finding of check at the same line.

  check_planted.py FWIMAGE WORKDIR [--table]

--table prints each file's verdicts side by side.
"""
import json
import os
import subprocess
import sys

from intelhex import IntelHex


def rec(address, rtype, data):
    b = [len(data), (address >> 8) & 0xFF, address & 0xFF, rtype] + list(data)
    return ":%s%02X\n" % ("".join("%02X" % x for x in b), -sum(b) & 0xFF)


BASE = rec(0, 4, [0, 0])
A = rec(0, 0, range(16))
B = rec(0x10, 0, range(16, 32))
END = ":00000001FF\n"
GOOD = BASE + A + B + END


def tail(record, extra):
    return record[:-1] + extra + "\n"


# name: (text, [(line, severity, kind)]); line 0 is the file as a whole.
PLANTED = {
    "clean.hex": (GOOD, []),
    "blank-before-mark.hex": (BASE + " " + A + B + END, [(2, "warning", "skipped-record")]),
    "mark-missing.hex": (BASE + A[1:] + B + END, [(2, "warning", "skipped-record")]),
    "unknown-type.hex": (BASE + A + rec(0x10, 7, range(16, 32)) + END, [(3, "warning", "unknown-type")]),
    "text-before-end.hex": (BASE + A + "hello world\n" + B + END, [(3, "warning", "not-record")]),
    "text-after-end.hex": (GOOD + "hello world\n", [(5, "note", "not-record")]),
    "digits-after-checksum.hex": (BASE + tail(A, "0102") + B + END, [(2, "warning", "after-checksum")]),
    "600-digits-after.hex": (BASE + tail(A, "7" * 600) + B + END, [(2, "warning", "after-checksum")]),
    "100000-digits-after.hex": (BASE + tail(A, "7" * 100000) + B + END, [(2, "warning", "after-checksum")]),
    "blank-after-checksum.hex": (BASE + tail(A, " ") + B + END, [(2, "note", "after-checksum")]),
    "nul.hex": (BASE + A + "\0" + B + END, [(3, "warning", "nul")]),
    "nul-after-end.hex": (GOOD + "\0", [(5, "note", "nul")]),
    "short-record.hex": (BASE + A[:20] + "\n" + B + END, [(2, "error", "refused")]),
    "bad-digit.hex": (BASE + A[:12] + "G" + A[13:] + B + END, [(2, "error", "refused")]),
    "checksum.hex": (BASE + A[:-3] + "00\n" + B + END, [(2, "warning", "checksum")]),
    "no-end.hex": (BASE + A + B, [(3, "warning", "no-end")]),
    "data-after-end.hex": (BASE + A + END + B + END, [(4, "warning", "after-end")]),
    "overlap-same.hex": (BASE + A + B + A + END, [(4, "warning", "overlap")]),
    "overlap-different.hex": (BASE + A + B + rec(8, 0, [0xEE]) + END, [(4, "warning", "overlap")]),
    "start-address.hex": (BASE + A + B + rec(0, 5, [8, 0, 1, 0x31]) + END, [(4, "note", "start-address")]),
    "far-region.hex": (BASE + A + rec(0, 4, [0, 0x20]) + rec(0, 0, [1, 2, 3, 4]) + END,
                       [(4, "warning", "far-region")]),
    "end-only.hex": (END, [(0, "warning", "no-data")]),
    "empty.hex": ("", [(0, "warning", "no-end"), (0, "warning", "no-data")]),
    "text.hex": ("hello\nworld\n", [(1, "warning", "not-record"), (2, "warning", "no-end"),
                                    (0, "warning", "no-data")]),
    "binary.hex": (bytes(range(1, 256)) * 400, None),
    "empty.bin": (b"", [(0, "error", "refused")]),
}


def intelhex_verdict(path):
    if not path.endswith(".hex"):
        return None, "not Intel HEX"
    try:
        IntelHex().loadhex(path)
        return None, "accepts"
    except UnicodeDecodeError:
        return None, "refuses: not text"
    except Exception as e:  # its record errors name the line
        line = getattr(e, "line", None)
        return line, "refuses line %s: %s" % (line, type(e).__name__)


def main():
    fwimage, work = sys.argv[1], sys.argv[2]
    table = "--table" in sys.argv[3:]
    os.makedirs(work, exist_ok=True)
    failures = []
    for name, (text, planted) in PLANTED.items():
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode())
        run = subprocess.run([fwimage, "check", "--json", path], capture_output=True)
        result = json.loads(run.stdout)
        found = [(f["line"] or 0, f["severity"], f["kind"]) for f in result["findings"]]
        ih_line, ih_text = intelhex_verdict(path)
        if planted is not None and sorted(found) != sorted(planted):
            failures.append("%s: check found %s, planted %s" % (name, found, planted))
        if planted is None and (run.returncode != 7 or not any(k == "no-data" for _, _, k in found)):
            failures.append("%s: check found %s (exit %d)" % (name, found, run.returncode))
        if ih_line is not None and not any(line == ih_line for line, _, _ in found):
            failures.append("%s: intelhex %s, check has nothing there: %s" % (name, ih_text, found))
        if table:
            verdict = "; ".join("%s %s %s" % f for f in found) or "nothing"
            print("| %s | %s | exit %d: %s |" % (name, ih_text, run.returncode, verdict))
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
