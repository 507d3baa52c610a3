#!/usr/bin/env python3
"""Writes an Intel HEX file and the image it stands for, independently of our reader.

Usage: hex_gen.py SEED OUT.hex OUT.bin

The file mixes extended segment (02) and extended linear (04) address records,
start address records (03, 05), data records in shuffled order with gaps
between them, upper- and lower-case digits, LF and CRLF line ends and blank
lines. Some readers add the segment and the linear base together, others
switch between them; each base is cleared before the other kind is set, so
both readings agree. Records never overlap and never cross a 64 KiB boundary of their base,
so any reader (objcopy too) must agree on every byte. The image starts at
address 0, and bytes no record writes are 0xFF.
"""
import random
import sys


def record(rtype, addr, data, lower):
    body = bytes([len(data), addr >> 8, addr & 0xFF, rtype]) + bytes(data)
    text = ":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper()
    return text.lower() if lower else text


def main():
    seed, hex_path, bin_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    rnd = random.Random(seed)

    # Chunks of data at absolute addresses, each inside one 64 KiB window.
    chunks = []
    addr = rnd.randrange(0, 0x400)
    while len(chunks) < 300:
        count = rnd.randrange(1, 256)
        if (addr & 0xFFFF) + count > 0x10000:
            addr = (addr | 0xFFFF) + 1
        chunks.append((addr, bytes(rnd.randrange(256) for _ in range(count))))
        addr += count + rnd.choice([0, 0, 0, 1, 17, 300, 5000])
    rnd.shuffle(chunks)

    lines = []
    for absolute, data in chunks:
        window = absolute & ~0xFFFF
        # Segment records reach 1 MiB; a segment base need not be 64 KiB aligned.
        if absolute < 0x100000 and rnd.random() < 0.5:
            segment = min((absolute >> 4) & ~0xF, 0xFFFF)
            segment = max(segment, (absolute + len(data) - 0xFFFF + 15) >> 4)
            base = segment << 4
            lines.append(record(4, 0, [0, 0], False))
            lines.append(record(2, 0, [segment >> 8, segment & 0xFF], rnd.random() < 0.2))
        else:
            base = window
            lines.append(record(2, 0, [0, 0], False))
            lines.append(record(4, 0, [window >> 24, (window >> 16) & 0xFF], rnd.random() < 0.2))
        lines.append(record(0, absolute - base, data, rnd.random() < 0.2))
        if rnd.random() < 0.05:
            lines.append("")
        if rnd.random() < 0.02:
            lines.append(record(3, 0, [0x12, 0x34, 0x56, 0x78], False))
            lines.append(record(5, 0, [0, 0, 0x30, 0], False))
    lines.append(record(1, 0, [], False))

    with open(hex_path, "w", newline="") as out:
        for text in lines:
            out.write(text + ("\r\n" if rnd.random() < 0.3 else "\n"))

    size = max(a + len(d) for a, d in chunks)
    image = bytearray(b"\xff" * size)
    for a, d in chunks:
        image[a:a + len(d)] = d
    with open(bin_path, "wb") as out:
        out.write(image)


if __name__ == "__main__":
    main()
