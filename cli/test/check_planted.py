#!/usr/bin/python3
"""fwimage check on planted files, one planted fault each, beside Python's
intelhex: check reports exactly what was planted, and every line intelhex
refuses is a finding of check at the same line. Then the same on generated
files: where intelhex reads a file and the loader's image (fwimage convert)
differs from intelhex's, check must not pass it; where intelhex refuses a
line, check has a warning or an error there.

  check_planted.py FWIMAGE WORKDIR [--table] [--files N] [--seed S]

--table prints each planted file's verdicts side by side; --files: how many
generated files (default 400).
"""
import json
import os
import random
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
    # The loader's image starts at F000: 256 bytes of FF before the data.
    "zero-length-below.hex": (":00F0000010\n" + rec(0xF100, 0, range(16)) + END,
                              [(1, "warning", "zero-length")]),
    "zero-length-above.hex": (GOOD[:-len(END)] + rec(0x100, 0, []) + END, [(4, "warning", "zero-length")]),
    "zero-length-run.hex": (BASE + rec(0x80, 0, []) + rec(0x90, 0, []) + A + END,
                            [(2, "warning", "zero-length")]),
    "zero-length-inside.hex": (BASE + A + rec(8, 0, []) + B + END, [(3, "note", "zero-length-inside")]),
    # Address records of another byte count: the loader reads four digits anyway.
    "segment-count-1.hex": (BASE + ":0100000200FD\n" + A + END, [(2, "warning", "address-count")]),
    "linear-count-1.hex": (BASE + ":0100000400FB\n" + A + END, [(2, "warning", "address-count")]),
    "linear-count-3.hex": (BASE + ":030000040000017A\n" + A + END,
                           [(2, "warning", "address-count"), (2, "warning", "checksum")]),
    # Its base is read from the checksum and past it: nothing follows the checksum.
    "linear-count-0.hex": (BASE + A + ":000000041234\n" + END,
                           [(3, "warning", "address-count"), (3, "warning", "checksum")]),
    # Rewrites of touching regions, however often, are one finding.
    "overlap-touching.hex": (BASE + A + B + A + A + B + END, [(4, "warning", "overlap")]),
    # Count, address and type: ten digits make a record without its mark.
    "mark-missing-short.hex": (BASE + A + END[1:] + B + END, [(3, "warning", "skipped-record")]),
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


def generated(rng):
    """A HEX file of the shapes that make readers part: records of no byte,
    segment and linear bases, 64 KiB crossings, address records of another
    byte count, start records, data after the end record, several end
    records, rewrites, lowercase, CR, LF or CR LF."""
    def data(address=None, count=None):
        address = rng.choice([rng.randrange(0x10000 - 32), 0xFFF0 + rng.randrange(16), end[0] & 0xFFFF,
                              (end[0] - rng.randrange(1, 16)) & 0xFFFF]) if address is None else address
        end[0] = address + (count or rng.randrange(1, 33))
        return rec(address, 0, rng.randbytes(end[0] - address))

    def bad_sum():
        good = data(rng.randrange(0x10000 - 32), rng.randrange(1, 17))
        return good[:-3] + "%02X\n" % (int(good[-3:-1], 16) ^ 0x5A)

    end = [0]
    makers = [data] * 8 + [
        lambda: rec(rng.choice([rng.randrange(0x10000), end[0] & 0xFFFF]), 0, []),
        lambda: rec(rng.choice([rng.randrange(0x10000), end[0] & 0xFFFF]), 0, []),
        lambda: rec(0, 4, [0, rng.choice([0, 1, 0x10])]),
        lambda: rec(0, 2, rng.choice([[0, 0], [0x10, 0], [0xF0, 0], [0x0F, 0xFF]])),
        lambda: rec(0, rng.choice([2, 4]), rng.randbytes(rng.choice([0, 1, 3, 4]))),
        lambda: rec(0, rng.choice([3, 5]), rng.randbytes(4)),
        lambda: END, lambda: END, lambda: "\n", bad_sum]
    lines = [rng.choice(makers)() for _ in range(rng.randrange(2, 12))]
    if rng.random() < 0.8:
        lines.append(END)
    text = "".join(lines)
    if rng.random() < 0.2:
        text = text.lower()
    return text.replace("\n", rng.choice(["\n", "\r\n", "\r"]))


def intelhex_image(path):
    """The image intelhex reads, gaps FF; None and the line it names when it refuses the file."""
    try:
        ih = IntelHex(path)
    except Exception as e:
        return None, getattr(e, "line", None)
    ih.padding = 0xFF
    return bytes(ih.tobinarray(start=ih.minaddr(), end=ih.maxaddr())) if ih.addresses() else b"", None


def differential(fwimage, work, count, seed):
    """Generated files: check passes none whose image in the loader differs
    from intelhex's, and has a warning or an error at each line intelhex refuses."""
    rng = random.Random(seed)
    os.makedirs(work, exist_ok=True)
    paths = []
    for i in range(count):
        path = os.path.join(work, "gen%04d.hex" % i)
        with open(path, "w", newline="") as f:
            f.write(generated(rng))
        paths.append(path)
    run = subprocess.run([fwimage, "check", "--json"] + paths, capture_output=True)
    checked = [json.loads(line) for line in run.stdout.splitlines()]
    failures = []
    read = differ = refused = 0
    for path, result in zip(paths, checked):
        image, line = intelhex_image(path)
        if image is None:
            refused += 1
            found = [f for f in result["findings"] if (f["line"] or 0) == line]
            # The loader refuses the file, at this line or another (where
            # nothing after the refusal is told, or the file as a whole).
            told = result["exit_code"] == 1 or any(f["severity"] != "note" for f in found)
            # A start record of another byte count, a second one, blanks after
            # a checksum: intelhex refuses them, but the loader's image is the
            # same without them.
            unchanged = any(f["kind"] in ("start-address", "after-checksum") for f in found)
            if not told and not unchanged:
                failures.append("%s: intelhex refuses line %s, check: %s" % (path, line, found))
            continue
        read += 1
        out = path[:-4] + ".bin"
        converted = subprocess.run([fwimage, "convert", path, out], capture_output=True)
        window = open(out, "rb").read() if converted.returncode == 0 else None
        if window != image:
            differ += 1
            if result["exit_code"] == 0:
                failures.append("%s: the loader's image differs from intelhex's, check passes it" % path)
    print("%d generated files: intelhex reads %d, %d of them differ in the loader, refuses %d"
          % (count, read, differ, refused))
    return failures


def main():
    fwimage, work = sys.argv[1], sys.argv[2]
    options = sys.argv[3:]
    table = "--table" in options
    count = int(options[options.index("--files") + 1]) if "--files" in options else 400
    seed = int(options[options.index("--seed") + 1]) if "--seed" in options else 20261207
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
    failures += differential(fwimage, os.path.join(work, "generated"), count, seed)
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
