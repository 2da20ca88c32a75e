#!/usr/bin/python3
"""Writes an Intel HEX file and the flat image it stands for (gaps 0xFF).

  genhex.py dense  OUT.hex OUT.bin SIZE RECORD BASE   SIZE bytes from BASE, RECORD bytes a record
  genhex.py sparse OUT.hex OUT.bin                    64 KiB at 0 and 64 KiB at 0x01000000

Data are pseudo-random with a fixed seed, so every run compares the same files.
A type 04 record opens every 64 KiB; record checksums are right; EOF comes last.
"""
import random
import sys


def blocks_to_hex(blocks, record, out):
    """blocks: list of (address, bytes), address and length multiples of record
    that never cross a 64 KiB boundary within a record."""
    lines = []
    upper = None
    for start, data in blocks:
        for off in range(0, len(data), record):
            addr = start + off
            if addr >> 16 != upper:
                upper = addr >> 16
                hi, lo = upper >> 8, upper & 0xFF
                lines.append(":02000004%04X%02X\r\n" % (upper, (-(2 + 4 + hi + lo)) & 0xFF))
            chunk = data[off:off + record]
            low = addr & 0xFFFF
            check = (-(len(chunk) + (low >> 8) + (low & 0xFF) + sum(chunk))) & 0xFF
            lines.append(":%02X%04X00%s%02X\r\n" % (len(chunk), low, chunk.hex().upper(), check))
            if len(lines) >= 65536:
                out.write("".join(lines))
                lines.clear()
    lines.append(":00000001FF\r\n")
    out.write("".join(lines))


def main():
    kind = sys.argv[1]
    hex_name, bin_name = sys.argv[2], sys.argv[3]
    rng = random.Random(20240501)
    if kind == "dense":
        size, record, base = int(sys.argv[4], 0), int(sys.argv[5], 0), int(sys.argv[6], 0)
        data = rng.randbytes(size)
        blocks = [(base, data)]
        image = data
        record_size = record
    elif kind == "sparse":
        low, high = rng.randbytes(0x10000), rng.randbytes(0x10000)
        blocks = [(0, low), (0x01000000, high)]
        image = low + b"\xff" * (0x01000000 - 0x10000) + high
        record_size = 16
    else:
        sys.exit("unknown kind " + kind)
    with open(hex_name, "w", newline="") as out:
        blocks_to_hex(blocks, record_size, out)
    with open(bin_name, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main()
