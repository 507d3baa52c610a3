#!/usr/bin/python3
"""zipgw-sim as the demo runs it: the demo's profile set on a loopback network
of its own (127.62.Y.0/24, an ephemeral port), driven over real UDP by a bare
socket; then SIGTERM."""
import random
import re
import signal
import socket
import subprocess
import sys
import time

DEADLINE = 10.0  # generous: the suite runs under load and sanitizers


def fail(msg):
    print("FAIL:", msg)
    sys.exit(1)


def packet(seq, command, flags0=0x80, flags1=0x40):
    return bytes([0x23, 0x02, flags0, flags1, seq, 0x00, 0x00]) + bytes(command)


def parse(data):
    """(flags0, flags1, seq, command) of a Z/IP packet, skipping an extension."""
    if len(data) < 7 or data[0] != 0x23 or data[1] != 0x02:
        return None
    pos = 7
    if data[3] & 0x80:
        pos += data[7]
    return data[2], data[3], data[4], bytes(data[pos:]) if data[3] & 0x40 else b""


class Client:
    def __init__(self, address):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))

    def send(self, to, data):
        self.sock.sendto(data, to)

    def expect(self, what, pred, timeout=DEADLINE):
        """The first datagram for which pred(from, parsed) holds."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                data, frm = self.sock.recvfrom(2048)
            except socket.timeout:
                break
            p = parse(data)
            if p is not None and pred(frm, p):
                return frm, p
        fail("no " + what)


def main():
    program = sys.argv[1]
    net = "127.62.%d." % random.randint(1, 250)
    proc = subprocess.Popen([program, "--address", net + "1", "--port", "0", "--profile", "demo",
                             "--profile", "5=flirs", "--wake-every", "1"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        nodes = {}
        port = None
        while len(nodes) < 4:
            line = proc.stdout.readline()
            if not line:
                fail("zipgw-sim ended early: rc %s" % proc.wait())
            m = re.match(r"zipgw-sim: gateway on ([\d.]+):(\d+)", line)
            if m:
                port = int(m.group(2))
            m = re.match(r"zipgw-sim: node (\d+) \((\w+)\) on ([\d.]+):(\d+)", line)
            if m:
                nodes[int(m.group(1))] = (m.group(2), m.group(3), int(m.group(4)))
        want = {2: "listening", 3: "sleeping", 4: "listening", 5: "flirs"}
        for n, kind in want.items():
            if nodes[n] != (kind, net + str(n), port):
                fail("node %d: %s" % (n, nodes[n]))

        c = Client(net + "200")
        gw = (net + "1", port)
        # The sensor sleeps: its Battery Get is held, then answered once it
        # wakes. First of all, so that no wake-up comes before it: the program
        # wakes nodes only once a client has spoken.
        sensor = (net + "3", port)
        c.send(sensor, packet(4, [0x80, 0x02]))
        c.expect("NACK waiting", lambda f, p: f == sensor and p[0] & 0x30 == 0x30 and p[2] == 4)
        c.expect("wake-up notification", lambda f, p: f == sensor and p[3] == bytes([0x84, 0x07]))
        c.expect("ACK of the held Get", lambda f, p: f == sensor and p[0] == 0x40 and p[2] == 4)
        c.expect("battery report", lambda f, p: f == sensor and p[3] == bytes([0x80, 0x03, 100]))
        # The switch: Set, then Get answered from its address.
        sw = (net + "2", port)
        c.send(sw, packet(1, [0x25, 0x01, 0xFF]))
        c.expect("ACK of the Set", lambda f, p: f == sw and p[0] == 0x40 and p[2] == 1)
        c.send(sw, packet(2, [0x25, 0x02]))
        c.expect("switch report", lambda f, p: f == sw and p[3] == bytes([0x25, 0x03, 0xFF, 0xFF, 0x00]))
        # The gateway lists the controller and the four nodes.
        c.send(gw, packet(3, [0x52, 0x01, 0x07], flags1=0x50))
        _, p = c.expect("node list", lambda f, p: f == gw and p[3][:3] == bytes([0x52, 0x02, 0x07]))
        if p[3][5] != 0x1F:
            fail("node list mask %02X" % p[3][5])
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            out, _ = proc.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            proc.kill()
            fail("zipgw-sim did not stop on SIGTERM")
    if proc.returncode != 0 or "zipgw-sim: stopped" not in out:
        fail("zipgw-sim stopped with rc %d" % proc.returncode)
    if "rx " + net + "3:%d <- " % port not in out:
        fail("frames not logged")
    print("PASS")


if __name__ == "__main__":
    main()
