#!/usr/bin/env python3
"""A small mDNS responder for the discovery tests.

Runs inside its own network namespace and answers, on 224.0.0.251 and
ff02::fb port 5353, the questions that a browser of "_z-wave._udp.local"
asks: PTR for the service, SRV for each instance, A/AAAA for the host.
Every answer goes to the group, as mDNS answers do, with its names compressed
back to earlier ones. Prints "ready" once both sockets listen.

usage: mdns_responder.py IFNAME IPV4 IPV6 HOST INSTANCE...
       mdns_responder.py --probe IFNAME IPV4
The second form, run on the other side, asks until the responder has answered
over both IPv4 and IPv6 (a fresh veth link drops IPv6 multicast for about a
second), at most 5 s; exit status 0 once both answered.
"""
import select
import socket
import struct
import sys
import time


def enc_name(labels):
    out = b""
    for l in labels:
        b = l.encode()
        out += bytes([len(b)]) + b
    return out + b"\0"


def read_name(msg, pos):
    labels = []
    while True:
        n = msg[pos]
        if n == 0:
            return labels, pos + 1
        if n >= 0xC0:
            off = ((n & 0x3F) << 8) | msg[pos + 1]
            more, _ = read_name(msg, off)
            return labels + more, pos + 2
        labels.append(msg[pos + 1:pos + 1 + n].decode(errors="replace"))
        pos += 1 + n


def rr(owner, rtype, data):
    return owner + struct.pack("!HHIH", rtype, 0x8001, 120, len(data)) + data


def probe(ifname, ip4):
    idx = socket.if_nametoindex(ifname)
    query = struct.pack("!HHHHHH", 0, 0, 1, 0, 0, 0) + enc_name(["_z-wave", "_udp", "local"]) + b"\0\x0c\0\x01"
    s4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s4.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s4.bind(("0.0.0.0", 5353))
    s4.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                  socket.inet_aton("224.0.0.251") + socket.inet_aton(ip4))
    s4.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ip4))
    s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s6.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s6.bind(("::", 5353))
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP,
                  socket.inet_pton(socket.AF_INET6, "ff02::fb") + struct.pack("@I", idx))
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, idx)
    heard = set()
    end = time.monotonic() + 5
    while time.monotonic() < end and len(heard) < 2:
        if s4 not in heard:
            s4.sendto(query, ("224.0.0.251", 5353))
        if s6 not in heard:
            s6.sendto(query, ("ff02::fb", 5353, 0, idx))
        ready, _, _ = select.select([s4, s6], [], [], 0.1)
        for s in ready:
            msg, _ = s.recvfrom(2000)
            if len(msg) >= 12 and msg[2] & 0x80:
                heard.add(s)
    sys.exit(0 if len(heard) == 2 else 1)


def main():
    if sys.argv[1] == "--probe":
        probe(sys.argv[2], sys.argv[3])
        return
    ifname, ip4, ip6, host = sys.argv[1:5]
    instances = sys.argv[5:]
    service = ["_z-wave", "_udp", "local"]
    host_labels = host.split(".")
    idx = socket.if_nametoindex(ifname)

    s4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s4.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s4.bind(("0.0.0.0", 5353))
    mreq = socket.inet_aton("224.0.0.251") + socket.inet_aton(ip4)
    s4.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
    s4.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(ip4))
    s4.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)

    s6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s6.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s6.bind(("::", 5353))
    mreq6 = socket.inet_pton(socket.AF_INET6, "ff02::fb") + struct.pack("@I", idx)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, mreq6)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, idx)
    s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_LOOP, 0)

    print("ready", flush=True)
    while True:
        ready, _, _ = select.select([s4, s6], [], [], 30)
        if not ready:
            return
        for s in ready:
            msg, peer = s.recvfrom(2000)
            if len(msg) < 12:
                continue
            flags, qd = struct.unpack("!HH", msg[2:6])
            if flags & 0x8000 or qd != 1:
                continue
            labels, p = read_name(msg, 12)
            qtype = struct.unpack("!H", msg[p:p + 2])[0]
            print("question %s type %d from %s" % (".".join(labels), qtype, peer[0]), flush=True)
            low = [l.lower() for l in labels]
            body = b""
            count = 0
            if qtype == 12 and low == service:
                # All instances in one answer: the owner once, then pointers.
                body = enc_name(service)
                first = True
                for inst in instances:
                    owner = b"" if first else b"\xc0\x0c"
                    data = bytes([len(inst.encode())]) + inst.encode() + b"\xc0\x0c"
                    body += (b"" if first else owner) + struct.pack("!HHIH", 12, 0x0001, 120, len(data)) + data
                    first = False
                    count += 1
            elif qtype == 33 and len(labels) == 4 and low[1:] == service and labels[0] in instances:
                owner = enc_name(labels)
                data = struct.pack("!HHH", 0, 0, 4123) + enc_name(host_labels)
                body = rr(owner, 33, data)
                count = 1
            elif qtype in (1, 28) and low == [l.lower() for l in host_labels]:
                addr = socket.inet_aton(ip4) if qtype == 1 else socket.inet_pton(socket.AF_INET6, ip6)
                body = rr(enc_name(host_labels), qtype, addr)
                count = 1
            if count == 0:
                continue
            reply = struct.pack("!HHHHHH", 0, 0x8400, 0, count, 0, 0) + body
            if s is s4:
                s4.sendto(reply, ("224.0.0.251", 5353))
            else:
                s6.sendto(reply, ("ff02::fb", 5353, 0, idx))


if __name__ == "__main__":
    main()
