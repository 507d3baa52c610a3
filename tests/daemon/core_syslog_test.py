#!/usr/bin/python3
"""kestrund with log.target syslog: its lines reach the real syslog socket.

glibc's syslog always writes to /dev/log, so the daemon runs in a private
mount namespace whose /dev/log is this test's datagram socket. Exits 77
(skipped) where a mount namespace cannot be made.

Usage: core_syslog_test.py KESTRUND
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from core_kestrund import FRAME_MAX, WARNINGS, Checks, Daemon, config_text, connect, drain  # noqa: E402

os.environ["KESTRUND"] = sys.argv[1]
checks = Checks()
check = checks.check

probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                        "mount -t tmpfs tmpfs /mnt"], capture_output=True)
if probe.returncode != 0:
    print("skipped: no private mount namespace:", probe.stderr.decode().strip())
    sys.exit(77)

# Inside the namespace only: a fresh /dev holding just our socket as "log".
MOUNT = 'mount -t tmpfs tmpfs /dev && touch /dev/log && mount --bind "$0" /dev/log && exec "$@"'



def received(log, timeout):
    """Datagrams that arrive within timeout."""
    lines = []
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return lines
        log.settimeout(left)
        try:
            lines.append(log.recv(65536).decode(errors="replace"))
        except socket.timeout:
            return lines


def too_long():
    sock = connect()
    sock.sendall((FRAME_MAX + 1).to_bytes(4, "big"))
    drain(sock, 3)
    sock.close()


for level, shown in (("Warning", True), ("critical", False)):
    tmp = tempfile.mkdtemp(prefix="kestrund_syslog_")
    path = os.path.join(tmp, "log")
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind(path)
    daemon = Daemon(config_text(top=f'log = {{ upto_level = "{level}"; target = "SysLog"; }};'),
                    prefix=["unshare", "-m", "--propagation", "private", "sh", "-c", MOUNT, path])
    if not check(daemon.wait_ready(), f"starts with target SysLog, upto {level}"):
        print(daemon.stderr())
    too_long()
    lines = received(log, 1.5)
    error = "kestrund: [error] Invalid Avro message. Message length is too long: 1048577"
    found = [line for line in lines if error in line]
    if shown:
        check(len(found) == 1 and found[0].startswith("<11>"),
              f"the error line reaches syslog as user.err ({lines})")
    else:
        check(found == [], f"upto_level critical keeps the error line out of syslog ({lines})")
    check(not any("[error] Invalid Avro" in line for line in daemon.stderr()), "and not on the console")
    daemon.wait_lines(daemon.stdout, WARNINGS[-1])
    check(daemon.stdout() == WARNINGS, "start-up warnings come before the logger, on the console")
    rc, took = daemon.stop()
    check(rc == 0, f"stops with status 0 ({rc}, {took:.2f} s)")
    log.close()
    os.unlink(path)
    os.rmdir(tmp)

sys.exit(1 if checks.failures else 0)
