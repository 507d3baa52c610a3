#!/usr/bin/env python3
"""Plays the gateways of a LAN for the probe discovery test.

Runs inside the gateway-side network namespace. Listens on port 4123 for the
12-byte probe (IPv4 broadcast and IPv6 multicast to ff02::2) and answers each
well-formed probe from several of its own addresses, one kind of answer per
address, so that the test can tell from the sender addresses which answers
were taken:

  .2  a cached node info report with the probe's sequence number (taken)
  .3  the same report with another sequence number
  .4  the good report cut to 13 bytes
  .5  junk, and a Z/IP acknowledgement without a command
  .6  a good report behind a header extension (taken)
  .7  a header extension that points past the datagram's end

Lines on stdin switch the mode: "normal", "flood" (150 good answers from .2),
"silent" (no answers), "junkflood" (junk from .5 every 50 ms for 10 s).
End of stdin ends the responder. Prints "ready" once listening; prints every
probe it refused on stderr.
"""
import select
import socket
import struct
import sys
import time

V4_NETS = ["10.77.0.", "10.78.0."]
V6_NET = "fd77::"
IFNAME = sys.argv[1] if len(sys.argv) > 1 else "zwd1"


def report(s, n, ext=None, length=20):
    hdr = bytes([0x23, 0x02, 0x00, 0x40 | (0x80 if ext is not None else 0), s, 0x00, 0x00])
    body = bytes([0x52, 0x04, n, 0x00, 0x01, 0x02, 0x03, 0x04])
    pkt = hdr + (ext or b"") + body
    return (pkt + bytes(length))[:max(length, len(pkt))]


def answers(s, n):
    good = report(s, n)
    return {
        2: [good],
        3: [report(s, (n + 1) & 0xFF)],
        4: [good[:13]],
        5: [bytes(range(0x30, 0x50)), bytes([0x23, 0x02, 0x40, 0x00, s, 0, 0]) + bytes(10)],
        6: [report(s, n, ext=bytes([0x04, 0x01, 0x00, 0x00]))],
        7: [bytes([0x23, 0x02, 0x00, 0xC0, s, 0, 0, 0xC8]) + bytes([0x52, 0x04, n]) + bytes(9)],
    }


def main():
    rx4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx4.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    rx4.bind(("0.0.0.0", 4123))
    rx6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    rx6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    rx6.bind(("::", 4123))
    idx = socket.if_nametoindex(IFNAME)
    mreq = socket.inet_pton(socket.AF_INET6, "ff02::2") + struct.pack("@I", idx)
    rx6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, mreq)

    senders = {}
    for net in V4_NETS:
        for host in range(2, 8):
            tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            tx.bind((net + str(host), 0))
            senders[net + str(host)] = tx
    for host in range(2, 8):
        tx = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
        tx.bind((V6_NET + str(host), 0))
        senders[V6_NET + str(host)] = tx

    mode = "normal"
    junk_until = 0.0
    junk_to = None
    print("ready", flush=True)
    while True:
        timeout = 0.05 if time.monotonic() < junk_until else 1.0
        ready, _, _ = select.select([sys.stdin, rx4, rx6], [], [], timeout)
        if time.monotonic() < junk_until and junk_to is not None:
            net, to = junk_to
            senders[net + "5"].sendto(bytes(range(40)), to)
        for r in ready:
            if r is sys.stdin:
                line = sys.stdin.readline()
                if not line:
                    return
                mode = line.strip()
                print("mode " + mode, flush=True)
                continue
            data, peer = r.recvfrom(2048)
            if len(data) != 12 or data[:4] != b"\x23\x02\x00\x40" or data[5:9] != b"\x00\x00\x52\x03" \
                    or data[10:] != b"\x00\x00":
                print("bad probe %s from %s" % (data.hex(), peer), file=sys.stderr, flush=True)
                continue
            s, n = data[4], data[9]
            if r is rx4:
                net = next((x for x in V4_NETS if peer[0].startswith(x)), None)
                to = peer[:2]
            else:
                net = V6_NET if peer[0].startswith(V6_NET) else None
                to = peer[:2]
            if net is None:
                print("probe from unexpected %s" % (peer,), file=sys.stderr, flush=True)
                continue
            if mode == "silent":
                continue
            if mode == "flood":
                for _ in range(150):
                    senders[net + "2"].sendto(report(s, n), to)
                continue
            if mode == "junkflood":
                junk_until = time.monotonic() + 10.0
                junk_to = (net, to)
                continue
            for host, pkts in answers(s, n).items():
                if net == "10.78.0." and host != 2:
                    continue  # the second subnet has one plain gateway
                for p in pkts:
                    senders[net + str(host)].sendto(p, to)


if __name__ == "__main__":
    main()
