#!/usr/bin/python3
"""zipgw-sim's control channel as a test script drives it: the "full" profile
set on a loopback network of its own (127.63.Y.0/24, an ephemeral port), a
bare UDP socket as the host, and line commands on the UNIX socket that make
the nodes send what and when the script says; bad lines get error answers
and leave the program running. Then SIGTERM, and the socket is gone."""
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
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


class Host:
    def __init__(self, address):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((address, 0))
        self.address = self.sock.getsockname()

    def send(self, to, data):
        self.sock.sendto(data, to)

    def expect(self, what, frm_want, command, timeout=DEADLINE):
        """The first packet from frm_want carrying `command` (hex text)."""
        want = bytes.fromhex(command)
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            self.sock.settimeout(max(0.01, end - time.monotonic()))
            try:
                data, frm = self.sock.recvfrom(2048)
            except socket.timeout:
                break
            p = parse(data)
            if p is not None and frm == frm_want and p[3] == want:
                return p
        fail("no " + what)


class Control:
    """One connection to the control socket: a line out, its answer back."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(DEADLINE)
        self.sock.connect(path)
        self.buf = b""

    def ask(self, line):
        self.sock.sendall(line if isinstance(line, bytes) else (line + "\n").encode())
        while b"\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                fail("control channel closed after %r" % line)
            self.buf += chunk
        answer, self.buf = self.buf.split(b"\n", 1)
        return answer.decode(errors="replace")

    def ok(self, line):
        answer = self.ask(line)
        if not answer.startswith("ok"):
            fail("%r answered %r" % (line, answer))
        return answer


def main():
    program = sys.argv[1]
    net = "127.63.%d." % random.randint(1, 250)
    workdir = tempfile.mkdtemp(prefix="zipgw-ctl.")
    path = os.path.join(workdir, "sim.ctl")
    proc = subprocess.Popen([program, "--address", net + "1", "--port", "0", "--profile", "full",
                             "--control", path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        port = None
        nodes = 0
        while True:
            line = proc.stdout.readline()
            if not line:
                fail("zipgw-sim ended early: rc %s" % proc.wait())
            m = re.match(r"zipgw-sim: gateway on [\d.]+:(\d+)", line)
            if m:
                port = int(m.group(1))
            if re.match(r"zipgw-sim: node \d+ \(\w+\) on ", line):
                nodes += 1
            if line.startswith("zipgw-sim: control on " + path):
                break
        if nodes != 7:
            fail("%d nodes in the full set" % nodes)

        def node(n):
            return (net + str(n), port)

        ctl = Control(path)
        # Nobody to send to before a client has spoken.
        answer = ctl.ask("report 7 32")
        if not answer.startswith("error: nobody to send to"):
            fail("report before any client: %r" % answer)

        host = Host(net + "200")
        # The plug answers a Get of its power; the host is now the client.
        host.send(node(7), packet(1, [0x32, 0x01, 0x10]))
        host.expect("power report", node(7), "32 02 21 32 01 C8 00 1E 01 90")

        # Pushed at the script's moment: the class's report, then any bytes.
        ctl.ok("report 7 32")
        host.expect("pushed energy report", node(7), "32 02 21 44 00 00 04 D2 00 00")
        ctl.ok("send 7 32 02 21 44 00 0a")
        host.expect("sent frame", node(7), "32 02 21 44 00 0A")
        # A state the script sets is what the node reports from then on.
        ctl.ok("set 8 30 0C FF 0A 00")
        if ctl.ok("values 8 30") != "ok 0C FF 0A 00":
            fail("values after set")
        ctl.ok("report 8 30")
        host.expect("motion detected", node(8), "30 03 FF 0C")
        host.send(node(8), packet(2, [0x30, 0x02, 0x0A]))
        host.expect("door closed, asked", node(8), "30 03 00 0A")
        # The sleeping sensor wakes when told.
        ctl.ok("wake 3")
        host.expect("wake-up notification", node(3), "84 07")
        ctl.ok("sleep 3")
        # Frames to another destination, then back to the client.
        other = Host(net + "201")
        ctl.ok("dest %s:%d" % other.address)
        ctl.ok("report 5 26")
        other.expect("dimmer report at the other destination", node(5), "26 03 32 32 00")
        ctl.ok("dest none")
        ctl.ok("report 6 33")
        host.expect("colour report back at the client", node(6), "33 04 00 00 00 00")

        # Bad lines, on a second connection beside the first: each gets an
        # error line, and the channel goes on.
        bad = Control(path)
        cases = [
            ("report 7 zz", "error: bad hex class 'zz'"),
            ("report 99 32", "error: no node 99"),
            ("report 233 32", "error: bad node id '233'"),
            ("report 7 80", "error: node 7 has no class 80"),
            ("send 7", "error: nothing to send"),
            ("send 7 32 1ff", "error: bad hex byte '1ff'"),
            ("set 7 32 01", "error: these values do not fit class 32"),
            ("wake 2", "error: node 2 does not sleep"),
            ("frobnicate", "error: unknown command 'frobnicate'"),
            ("dest nowhere", "error: bad destination"),
            (b"\xff\xfe\x00 7\n", "error: unknown command"),
            ("x" * 5000, "error: line too long"),
            ("report 7 32 " + "0" * 5000, "error: line too long"),
        ]
        for line, want in cases:
            answer = bad.ask(line)
            if not answer.startswith(want):
                fail("%r answered %r, not %r" % (line[:40], answer, want))
        # Blank lines get no answer: the next answer is the next command's.
        if bad.ask("\n\r\nvalues 7 25\n") != "ok FF":
            fail("blank lines answered")
        # A client that drops in the middle of a line harms no one.
        half = Control(path)
        half.sock.sendall(b"report 7 3")
        half.sock.close()
        ctl.ok("report 7 25")
        host.expect("switch report after all that", node(7), "25 03 FF FF 00")
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            out, _ = proc.communicate(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            proc.kill()
            fail("zipgw-sim did not stop on SIGTERM")
    if proc.returncode != 0 or "zipgw-sim: stopped" not in out:
        fail("zipgw-sim stopped with rc %d" % proc.returncode)
    if os.path.exists(path):
        fail("control socket left behind")
    os.rmdir(workdir)
    print("PASS")


if __name__ == "__main__":
    main()
