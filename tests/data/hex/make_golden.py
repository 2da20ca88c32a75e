#!/usr/bin/env python3
"""Writes the golden Intel HEX files of this folder and their expected images.

Each case is a list of records plus the way its text is laid out (line
breaks, letter case, comment lines, wrong checksums). The expected .bin comes
from objcopy (--gap-fill 0xff) run on a plain twin of the same records: CR LF
breaks, capital digits, right checksums, no extra lines, the end-of-file
record moved to the end (objcopy stops at it), and before every segment base
a zero linear base and vice versa (objcopy adds the two kinds of base where
this converter lets each replace the other). The script also checks
objcopy's image against its own model of the records, so a difference in how
objcopy reads a case stops it. Cases objcopy cannot read the same way (no data
at all) are written from the model and listed in NOT_CROSS_CHECKED.

Run from anywhere: python3 make_golden.py  (needs objcopy from binutils).
"""

import os
import random
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

NOT_CROSS_CHECKED = {"no_data"}


def record(kind, address, payload):
    body = bytes([len(payload), address >> 8, address & 0xFF, kind]) + bytes(payload)
    checksum = (-sum(body)) & 0xFF
    return body + bytes([checksum])


def text_of(records, breaks="\r\n", lower=False, extra=None, bad_checksums=False):
    """extra: {index: [lines to put before record index]} (index len(records) = at the end)."""
    extra = extra or {}
    lines = []
    for i, rec in enumerate(records + [None]):
        lines += extra.get(i, [])
        if rec is None:
            break
        raw = bytearray(rec)
        if bad_checksums and i % 2 == 0:
            raw[-1] ^= 0x5A
        digits = raw.hex().upper()
        lines.append(":" + (digits.lower() if lower else digits))
    if isinstance(breaks, str):
        return breaks.join(lines) + breaks
    # a cycle of different breaks
    out = ""
    for i, line in enumerate(lines):
        out += line + breaks[i % len(breaks)]
    return out


def model(records):
    """The flat image as the converter builds it."""
    base = 0
    cells = {}
    first, high, seen = 0xFFFFFFFF, 0, False
    for rec in records:
        count, address, kind = rec[0], (rec[1] << 8) | rec[2], rec[3]
        if kind == 0:
            start = base + address
            for j in range(count):
                cells[start + j] = rec[4 + j]
            if not seen or start < first:
                first = start
            high = max(high, start + count)
            seen = True
        elif kind == 2:
            base = ((rec[4] << 8) | rec[5]) << 4
        elif kind == 4:
            base = ((rec[4] << 8) | rec[5]) << 16
    length = (high - first) % (1 << 32)
    return bytes(cells.get(first + i, 0xFF) for i in range(length))


def data_records(rng, start, size, per_line, gaps=()):
    recs = []
    address = start
    while address < start + size:
        n = min(per_line, start + size - address)
        if not any(lo <= address < hi for lo, hi in gaps):
            recs.append(record(0, address, [rng.randrange(256) for _ in range(n)]))
        address += n
    return recs


def cases():
    rng = random.Random(20240601)
    eof = record(1, 0, [])
    out = {}

    # Two 4-byte records 16 apart: the bytes between read 0xFF.
    out["gap"] = ([record(0, 0x0000, [1, 2, 3, 4]), record(0, 0x0010, [5, 6, 7, 8]), eof], {})

    # Linear base 0x0800, LF breaks, small digits, a record crossing the 64 KiB
    # boundary of its base and one in the next segment.
    recs = [record(4, 0, [0x08, 0x00])]
    recs += data_records(rng, 0xF000, 0x1000 - 8, 16)
    recs.append(record(0, 0xFFF8, [rng.randrange(256) for _ in range(16)]))
    recs += [record(4, 0, [0x08, 0x01]), record(0, 0x0008, [0xAA] * 8)]
    recs += data_records(rng, 0x0010, 0x200, 32)
    recs.append(eof)
    out["linear_lf_lower"] = (recs, {"breaks": "\n", "lower": True})

    # Segment and linear bases replace each other; data before any base record
    # uses base 0; start-address records change nothing; CR-only breaks.
    recs = [record(0, 0x0100, list(range(16)))]
    recs += [record(2, 0, [0x01, 0x00]), record(0, 0x0000, list(range(16, 48)))]
    recs += [record(4, 0, [0x00, 0x00]), record(0, 0x0200, [0x55] * 16)]
    recs += [record(2, 0, [0x02, 0x00]), record(3, 0, [0, 0, 0x12, 0x34])]
    recs += [record(0, 0x0010, [0x66] * 8), record(5, 0, [0, 0, 0, 0])]
    recs.append(eof)
    out["segment_linear_cr"] = (recs, {"breaks": "\r"})

    # Mixed line breaks (LF CR makes an empty line), comment and blank lines,
    # a byte-order mark line, a blank before a mark, wrong checksums, data
    # after the end-of-file record.
    recs = [record(4, 0, [0x00, 0x01])]
    recs += data_records(rng, 0x4000, 0x300, 16, gaps=[(0x4100, 0x4140)])
    recs.append(eof)
    recs += [record(0, 0x4400, [0x77] * 4)]
    extra = {0: ["\ufeff".encode("utf-8").decode("latin-1") + "; built by hand", ""],
             5: ["  :10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00", "comment :00"],
             len(recs): [""]}
    out["quirky_text"] = (recs, {"breaks": ["\r\n", "\n\r", "\r", "\n"], "extra": extra,
                                 "bad_checksums": True})

    # A larger dense image across a segment boundary.
    recs = [record(4, 0, [0x00, 0x02])]
    recs += data_records(rng, 0xC000, 0x4000, 32)
    recs += [record(4, 0, [0x00, 0x03])]
    recs += data_records(rng, 0x0000, 0x6000, 32, gaps=[(0x2000, 0x2400)])
    recs.append(eof)
    out["dense_40k"] = (recs, {})

    # Data ending exactly at the top of the 32-bit address space.
    recs = [record(4, 0, [0xFF, 0xFF]), record(0, 0xFFE0, list(range(0x20))), eof]
    out["top_of_memory"] = (recs, {})

    # Only an end-of-file record: one byte 0xFF.
    out["no_data"] = ([eof], {})
    return out


def twin(records):
    out = []
    for rec in records:
        if rec[3] == 1:
            continue
        if rec[3] == 2:
            out.append(record(4, 0, [0, 0]))
        elif rec[3] == 4:
            out.append(record(2, 0, [0, 0]))
        out.append(rec)
    return out + [record(1, 0, [])]


def objcopy_image(records):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in.hex")
        dst = os.path.join(tmp, "out.bin")
        with open(src, "w", newline="") as f:
            f.write(text_of(twin(records)))
        subprocess.run(["objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xff", src, dst],
                       check=True)
        with open(dst, "rb") as f:
            return f.read()


def main():
    failed = False
    for name, (records, layout) in cases().items():
        expected = model(records)
        if name not in NOT_CROSS_CHECKED:
            theirs = objcopy_image(records)
            if theirs != expected:
                print(f"{name}: objcopy gives {len(theirs)} bytes, model {len(expected)}")
                failed = True
                continue
        with open(os.path.join(HERE, name + ".hex"), "wb") as f:
            f.write(text_of(records, **layout).encode("latin-1"))
        with open(os.path.join(HERE, name + ".bin"), "wb") as f:
            f.write(expected)
        print(f"{name}: {len(expected)} bytes")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
