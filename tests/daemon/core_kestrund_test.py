#!/usr/bin/python3
"""kestrund's start-up, configuration, signals and socket, against the real program.

Usage: core_kestrund_test.py KESTRUND startup|socket|clients|hostile
"""
import os
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from core_kestrund import (FRAME_MAX, WARNINGS, AvroPeer, Checks, Daemon, config_text, connect, drain,  # noqa: E402
                           exchange, frame, network_request, without_gateway_selection)

os.environ["KESTRUND"] = sys.argv[1]
checks = Checks()
check = checks.check


def startup():
    daemon = Daemon(config_text())
    check(daemon.wait_ready(), "starts with only the required keys")
    daemon.wait_lines(daemon.stdout, WARNINGS[-1])
    check(daemon.wait_lines(daemon.stdout, "[warning] No ZIP server selected for initialization\n"),
          "finds no gateway to use")
    check(without_gateway_selection(daemon.stdout()) == WARNINGS, "logs the five warnings of the missing optional keys")
    check(without_gateway_selection(daemon.stderr()) == [], "logs no error")
    # The socket answers before every thread is up (slow under sanitizers).
    deadline = time.monotonic() + 10
    while [name for _, name in daemon.threads()].count("AServer") != 1 and time.monotonic() < deadline:
        time.sleep(0.1)
    names = [name for _, name in daemon.threads()]
    check(names.count("AServer") == 1, "one thread is named AServer")
    workers = daemon.wait_workers(10)
    check(workers == 10, f"ten threads are named AServerWorker ({workers})")
    rc, took = daemon.stop(signal.SIGTERM)
    check(rc == 0 and took < 2.5, f"SIGTERM stops it with status 0 ({rc}, {took:.2f} s)")

    for signo in (signal.SIGINT, signal.SIGHUP):
        daemon = Daemon(config_text(portal="listen_port = 65535;"))
        check(daemon.wait_ready(), "starts again with listen_port 65535")
        rc, took = daemon.stop(signo)
        check(rc == 0 and took < 2.5, f"{signo.name} stops it with status 0 ({rc}, {took:.2f} s)")

    failing = [
        (config_text(drop="CA_certificate_file"), "[error] Failed to lookup CA certificate path\n"),
        (config_text(drop="SSL_certificate_file"), "[error] Failed to lookup SSL certificate path\n"),
        (config_text(drop="private_key_file"), "[error] Failed to lookup private key file path\n"),
        (config_text(drop="device_specific_configuration_file"),
         "[error] Failed to lookup device specific configuration file path\n"),
        (config_text(portal="listen_port = 70000;"),
         "[error] Configuration 'portal.listen_port' is out of valid range\n"),
        ("portal = {\n listen_port = ;\n};\n", None),
    ]
    for text, line in failing:
        daemon = Daemon(text)
        rc = daemon.finish()
        if line is None:
            line = f"[error] Failed to read configuration file {daemon.conf}: (syntax error) at line 2\n"
        err = daemon.stderr()
        check(rc == 1 and line in err, f"exits 1 with {line.strip()!r} ({rc}, {err})")

    default = "/usr/local/kestrund/etc/kestrund.conf"
    if not os.path.exists(default):
        daemon = Daemon("", args=[])
        rc = daemon.finish()
        line = f"[error] Failed to read configuration file {default}: (file I/O error) at line 0\n"
        check(rc == 1 and daemon.stderr() == [line, "\n"], f"without -f it reads {default} and exits 1")

    # Out-of-range values fall back with an error but do not stop start-up.
    daemon = Daemon(config_text(top="local = { gw_auto_set_to_local = 5; };\n"
                                    "server = { thread_pool = { thread_init_count = 3; thread_max_count = 0; }; };"))
    check(daemon.wait_ready(), "starts with gw_auto_set_to_local 5 and thread_max_count 0")
    check(daemon.wait_lines(daemon.stderr, "[error] Configuration 'local.gw_auto_set_to_local' is out of valid "
                            "range. Using default 1\n"), "gw_auto_set_to_local 5 logs an error")
    check(daemon.wait_lines(daemon.stderr, "[error] Configuration 'server.thread_pool.thread_max_count' is out of "
                            "valid range. Using default 50\n"), "thread_max_count 0 logs an error")
    workers = daemon.wait_workers(3)
    check(workers == 3, f"thread_init_count 3 gives three workers ({workers})")
    daemon.stop()

    # The level mask applies once the logger is built; start-up lines come before it.
    for level, shown in (("error", True), ("critical", False)):
        daemon = Daemon(config_text(top=f'log = {{ upto_level = "{level.upper()}"; target = "console"; }};'))
        check(daemon.wait_ready(), f"starts with upto_level {level}")
        sock = connect()
        sock.sendall((FRAME_MAX + 1).to_bytes(4, "big"))
        drain(sock, 3)
        sock.close()
        line = "[error] Invalid Avro message. Message length is too long: 1048577\n"
        seen = daemon.wait_lines(daemon.stderr, line, 1.0)
        check(seen == shown, f"an error line is {'shown' if shown else 'hidden'} with upto_level {level}")
        daemon.wait_lines(daemon.stdout, WARNINGS[-1])
        check(daemon.stdout() == WARNINGS, "the start-up warnings are shown before the mask applies")
        daemon.stop()


def socket_cases():
    daemon = Daemon(config_text(top="server = { thread_pool = { thread_init_count = 2; thread_max_count = 5; }; };"))
    check(daemon.wait_ready(), "starts")
    time.sleep(0.3)
    before = daemon.stderr() + daemon.stdout()

    sock = connect()
    sock.close()
    time.sleep(0.5)
    check(daemon.stderr() + daemon.stdout() == before, "a connection closed at once logs nothing")

    began = time.monotonic()
    sock = connect()
    got = drain(sock, 9)
    took = time.monotonic() - began
    sock.close()
    check(got == b"" and 4.5 <= took < 7, f"an idle connection is closed after 5 s ({took:.2f} s)")
    check(daemon.wait_lines(daemon.stderr, "[error] Receive  timeout\n"), "and logs the receive time-out")

    # Cookies with a null user, the name "abcd", the Void branch: a whole
    # request whose name has no level.
    request = frame(b"\x02\x08abcd\x00")
    sock = connect()
    sock.sendall(request[:3])
    time.sleep(0.3)
    sock.sendall(request[3:])
    began = time.monotonic()
    got = drain(sock, 4)
    took = time.monotonic() - began
    sock.close()
    check(got == b"" and took < 2, f"a 3-byte first segment and then the rest is read whole ({took:.2f} s)")
    check(daemon.wait_lines(daemon.stderr, "[error] Failed to detect the message level for 'abcd'\n"),
          "and the whole 7-byte request reaches request handling")

    for announced in (FRAME_MAX + 1, 0xFFFFFFFF):
        sock = connect()
        sock.sendall(announced.to_bytes(4, "big") + b"abc")
        began = time.monotonic()
        got = drain(sock, 4)
        took = time.monotonic() - began
        sock.close()
        check(got == b"" and took < 1, f"N = {announced} is refused at once ({took:.2f} s)")
        check(daemon.wait_lines(daemon.stderr,
                                f"[error] Invalid Avro message. Message length is too long: {announced}\n"),
              "and logged")

    sock = connect()
    sock.sendall(frame(b"0123456789")[:9])
    sock.shutdown(socket.SHUT_WR)
    got = drain(sock, 4)
    sock.close()
    check(got == b"", "a peer that closes half-way gets no reply")
    check(daemon.wait_lines(daemon.stderr, "Connection closed after 9 of 14 bytes"), "and its part is not decoded")

    # A stop does not wait for a frame that is still coming in.
    sock = connect()
    sock.sendall(request[:2])
    time.sleep(0.3)
    rc, took = daemon.stop()
    got = drain(sock, 4)
    sock.close()
    check(rc == 0 and took < 2, f"SIGTERM with a frame coming in ends the daemon at once ({rc}, {took:.2f} s)")
    check(got == b"", "and closes that connection without a reply")
    check(daemon.stderr().count("[error] Failed to detect the message level for 'abcd'\n") == 1,
          "whose part of a request is not handled")


def clients():
    daemon = Daemon(config_text(top="server = { thread_pool = { thread_init_count = 2; thread_max_count = 5; }; };"))
    check(daemon.wait_ready(), "starts with thread_max_count 5")

    # 60 idle clients hold no worker: each is closed when its 5 s for the
    # frame run out, all at about the same time, and requests that come
    # meanwhile are served at once.
    socks = [connect() for _ in range(60)]
    began = time.monotonic()
    closed = [None] * len(socks)

    def watch(i):
        if drain(socks[i], 30) is not None:
            closed[i] = time.monotonic() - began

    watchers = [threading.Thread(target=watch, args=(i,)) for i in range(len(socks))]
    for t in watchers:
        t.start()
    request = frame(b"\x02\x08abcd\x00")
    sock = connect()
    sock.sendall(request)
    sent = time.monotonic()
    got = drain(sock, 4)
    took = time.monotonic() - sent
    sock.close()
    check(got == b"" and took < 1, f"a request among 60 idle clients is handled at once ({took:.2f} s)")
    peak = 0
    while time.monotonic() - began < 7.5:
        peak = max(peak, daemon.workers())
        time.sleep(0.1)
    for t in watchers:
        t.join()
    late = [c for c in closed if c is None or c < 4.5]
    check(not late, f"every idle client is closed after its 5 s ({len(late)} not)")
    check(peak <= 5, f"at most 5 AServerWorker threads (peak {peak})")
    timeouts = daemon.stderr().count("[error] Receive  timeout\n")
    check(timeouts == 60, f"each idle client logs its time-out ({timeouts})")

    rc, took = daemon.stop()
    for s in socks:
        s.close()
    check(rc == 0 and took < 2, f"stops with status 0 ({rc}, {took:.2f} s)")


def hostile():
    """20 clients that send one byte every 2 s, 300 idle connections: the web
    interface's own request is still answered at once, and SIGTERM still ends
    the daemon at once."""
    peer = AvroPeer()
    daemon = Daemon(config_text(top="server = { thread_pool = { thread_init_count = 2; thread_max_count = 8; }; };"))
    check(daemon.wait_ready(), "starts with a pool of 2 to 8 workers")
    slow = [connect() for _ in range(20)]
    idle = [connect() for _ in range(300)]
    stop = threading.Event()

    def dribble():
        for sock in slow:
            sock.sendall(b"\x00\x00\x01\x00")
        while not stop.wait(2.0):
            for sock in slow:
                try:
                    sock.sendall(b"x")
                except OSError:
                    pass

    dribbler = threading.Thread(target=dribble)
    dribbler.start()
    time.sleep(0.5)
    version = peer.payload("alice", "network_version_get", "NetworkRequest", network_request())
    for attempt in range(3):
        began = time.monotonic()
        reply = peer.decode(exchange(version, 5))
        took = time.monotonic() - began
        check(reply is not None and reply[0] == "NetworkVersionResponse" and took < 1,
              f"network_version_get is answered within 1 s ({took:.3f} s, attempt {attempt + 1})")
        time.sleep(0.5)
    rc, took = daemon.stop()
    stop.set()
    dribbler.join()
    for sock in slow + idle:
        sock.close()
    check(rc == 0 and took < 2, f"SIGTERM ends the daemon within 2 s with status 0 ({rc}, {took:.2f} s)")


{"startup": startup, "socket": socket_cases, "clients": clients, "hostile": hostile}[sys.argv[2]]()
sys.exit(1 if checks.failures else 0)
