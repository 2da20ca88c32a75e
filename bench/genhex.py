#!/usr/bin/python3
"""Writes an Intel HEX file and the flat image it stands for (gaps 0xFF).

  genhex.py dense  OUT.hex OUT.bin SIZE RECORD BASE   SIZE bytes from BASE, RECORD bytes a record
  genhex.py sparse OUT.hex OUT.bin                    64 KiB at 0 and 64 KiB at 0x01000000
  genhex.py pairs OUT.hex OUT.bin COUNT               COUNT records of 16 bytes 32 apart, each
                                                      written again 8 bytes higher: COUNT distinct overlaps
  genhex.py staggered OUT.hex OUT.bin COUNT           COUNT records of 16 bytes 8 apart: each overlaps the last
  genhex.py random64k OUT.hex OUT.bin COUNT           COUNT records of 16 bytes at random addresses below 64 KiB
  genhex.py badsums OUT.hex OUT.bin COUNT             COUNT records of 4 bytes in a row, every checksum wrong

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


def overlapping(records, out, wrong_sums=False):
    """records: (16-bit address, bytes) in file order, all below 64 KiB (no
    base record); the image they make, later records winning."""
    image = {}
    lines = []
    for addr, chunk in records:
        check = (-(len(chunk) + (addr >> 8) + (addr & 0xFF) + sum(chunk))) & 0xFF
        if wrong_sums:
            check ^= 0x55
        lines.append(":%02X%04X00%s%02X\r\n" % (len(chunk), addr, chunk.hex().upper(), check))
        for i, b in enumerate(chunk):
            image[addr + i] = b
        if len(lines) >= 65536:
            out.write("".join(lines))
            lines.clear()
    lines.append(":00000001FF\r\n")
    out.write("".join(lines))
    low, high = min(image), max(image)
    return bytes(image.get(a, 0xFF) for a in range(low, high + 1))


def write_linear(records, out, wrong_sums=False):
    image = bytearray()
    first = None
    lines = []
    for addr, chunk in records:
        if first is None:
            first = addr
        if len(image) < addr + len(chunk) - first:
            image.extend(b"\xff" * (addr + len(chunk) - first - len(image)))
        image[addr - first:addr - first + len(chunk)] = chunk
    upper = None
    for addr, chunk in records:
        if addr >> 16 != upper:
            upper = addr >> 16
            lines.append(":02000004%04X%02X\r\n" % (upper, (-(2 + 4 + (upper >> 8) + (upper & 0xFF))) & 0xFF))
        low = addr & 0xFFFF
        check = (-(len(chunk) + (low >> 8) + (low & 0xFF) + sum(chunk))) & 0xFF
        if wrong_sums:
            check ^= 0x55
        lines.append(":%02X%04X00%s%02X\r\n" % (len(chunk), low, chunk.hex().upper(), check))
        if len(lines) >= 65536:
            out.write("".join(lines))
            lines.clear()
    lines.append(":00000001FF\r\n")
    out.write("".join(lines))
    return bytes(image)


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
    elif kind in ("pairs", "staggered", "random64k", "badsums"):
        count = int(sys.argv[4], 0)
        if kind == "pairs":
            records = [(a, rng.randbytes(16)) for i in range(count) for a in (32 * i, 32 * i + 8)]
        elif kind == "staggered":
            records = [(8 * i, rng.randbytes(16)) for i in range(count)]
        elif kind == "random64k":
            records = [(rng.randrange(0x10000 - 16), rng.randbytes(16)) for _ in range(count)]
        else:
            records = [(4 * i, rng.randbytes(4)) for i in range(count)]
        with open(hex_name, "w", newline="") as out:
            if kind == "random64k":
                image = overlapping(records, out)
            else:
                image = write_linear(records, out, wrong_sums=kind == "badsums")
        with open(bin_name, "wb") as out:
            out.write(image)
        return
    else:
        sys.exit("unknown kind " + kind)
    with open(hex_name, "w", newline="") as out:
        blocks_to_hex(blocks, record_size, out)
    with open(bin_name, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main()
