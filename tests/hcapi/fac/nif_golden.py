#!/usr/bin/python3
"""Writes node-information files from the format's own table, independently of
the library's writer: python3 struct for the layout, binascii.crc_hqx for the
CRC-16 (polynomial 0x1021, start 0x1D0F).

usage: nif_golden.py VERSION OUT   (VERSION 17 or 1)
"""
import binascii
import struct
import sys


def sub(sid, value):
    if len(value) <= 127:
        return bytes([sid, len(value)]) + value
    return bytes([sid, 0x80]) + struct.pack(">H", len(value)) + value


def u8(sid, v):
    return sub(sid, struct.pack(">B", v))


def u16(sid, v):
    return sub(sid, struct.pack(">H", v))


def u32(sid, v):
    return sub(sid, struct.pack(">I", v))


def record(tag, data):
    out = struct.pack(">HH", tag, len(data)) + data
    if len(data) % 2:
        out += b"\x00"
    return out


def node(nid, vid, sleep_cap, flirs, listen, extra=b""):
    return record(0xA701, u8(0, nid) + u16(1, vid) + u16(2, 0x0003) + u16(3, 0x0060) + u8(6, 2) + u8(7, 1)
                  + u8(32, 0) + u8(33, 0x05) + u8(8, sleep_cap) + u8(31, listen) + u8(13, 3) + u8(28, 1)
                  + u8(12, 0) + sub(14, b"abc") + u8(15, 7) + u16(16, 0x0405) + u16(17, 0x0102) + u8(18, 1)
                  + u8(19, flirs) + u8(20, 9) + u8(21, 4) + u8(29, 1) + u8(30, 0x83) + extra)


def endpoint(epid, name=b"", extra=b""):
    data = u8(0, epid) + u8(1, 0x10) + u8(2, 0x01)
    if name:
        data += sub(3, name)
    return record(0xA702, data + extra)


def interface(cls, ver, prop, extra=b""):
    return record(0xA703, u16(0, cls) + u8(1, ver) + u8(2, prop) + extra)


def build(version):
    recs = record(0xA704, u32(0, 0xC0FFEE01) + u8(1, 5))
    recs += node(1, 0x0086, 0, 0, 1)
    recs += endpoint(0) + interface(0x20, 1, 0x02)
    ext = u16(22, 0x0102) + u8(23, 3) + sub(24, bytes([0x01, 0x02, 0x03, 0x04]))
    ext += sub(34, b"11111-22222-33333-44444-55555-00001-00002-00003\x00") + u32(35, 3600)
    recs += node(5, 0x0086, 1, 0, 1, ext)
    recs += endpoint(0, b"kitchen", u8(5, 2) + u8(6, 5) + u8(7, 0) + u16(8, 0x0700) + u16(9, 0x0701))
    # A cache of 10 entries of 13 bytes: 130 bytes, the three-byte length form.
    recs += interface(0x25, 2, 0x02, u8(3, 10) + u8(4, 13) + sub(5, bytes(range(130))))
    recs += interface(0x71, 8, 0x02, u8(3, 1) + u8(4, 2) + sub(5, b"\x07\x08"))
    recs += interface(0x43, 3, 0x02, u8(3, 1) + u8(4, 3) + sub(5, b"\x02\x01\x02"))
    recs += interface(0x62, 2, 0x02, u8(17, 0) + u8(14, 1) + u8(15, 3) + sub(16, b"\xFF\x00\x10"))
    recs += interface(0x25, 9, 0x01)  # second record of a class: ignored
    recs += record(0x1234, b"\x01\x02\x03")  # unknown tag, odd length
    recs += endpoint(1, b"", u8(10, 2) + sub(11, b"\x02\x03"))
    recs += interface(0x56, 1, 0x02)  # CRC-16 encapsulation, on endpoint 1 only
    # A node the network does not have: its endpoint and interface go too.
    recs += node(9, 0x0001, 0, 0, 1) + endpoint(0, b"ghost") + interface(0x26, 1, 0x02)
    body = b"\x8a\xb3" + struct.pack(">H", version) + recs
    return body + struct.pack(">H", binascii.crc_hqx(body, 0x1D0F))


if __name__ == "__main__":
    with open(sys.argv[2], "wb") as f:
        f.write(build(int(sys.argv[1])))
