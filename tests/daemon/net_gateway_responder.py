#!/usr/bin/python3
"""Answers the gateway discovery probe for a simulated gateway.

The simulator listens on its own address only, where an IPv4 broadcast does
not reach it; this listens on the broadcast address, port 4123, and answers
each well-formed probe from the gateway's address, as the gateway would.

Usage: net_gateway_responder.py GATEWAY_ADDRESS
Prints "ready" once listening; ends at the end of stdin.
"""
import select
import socket
import sys


def report(seq, nm_seq):
    header = bytes([0x23, 0x02, 0x00, 0x40, seq, 0x00, 0x00])
    body = bytes([0x52, 0x04, nm_seq, 0x00, 0x01, 0x02, 0x03, 0x04])
    return (header + body).ljust(20, b"\0")


def main():
    gateway = sys.argv[1]
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("255.255.255.255", 4123))
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    tx.bind((gateway, 0))
    print("ready", flush=True)
    while True:
        ready, _, _ = select.select([sys.stdin, rx], [], [], 1.0)
        if sys.stdin in ready and not sys.stdin.readline():
            return
        if rx not in ready:
            continue
        data, peer = rx.recvfrom(2048)
        if len(data) == 12 and data[:4] == b"\x23\x02\x00\x40" and data[5:9] == b"\x00\x00\x52\x03":
            tx.sendto(report(data[4], data[9]), peer)


if __name__ == "__main__":
    main()
