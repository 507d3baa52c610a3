"""Runs the real kestrund with a configuration file and talks to its socket."""
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

ADDRESS = b"\0kestrund_socket".ljust(108, b"\0")
FRAME_MAX = 1 << 20

REQUIRED = {
    "CA_certificate_file": '"certs/ca.pem"',
    "SSL_certificate_file": '"certs/ssl.pem"',
    "private_key_file": '"certs/key.pem"',
}

WARNINGS = [
    "[warning] Failed to lookup gateway auto set to local flag. Using default 1\n",
    "[warning] Failed to lookup portal listening port. Proceeding with default port 44123\n",
    "[warning] Failed to lookup Z-Wave Report wait timeout. Using default 11 seconds\n",
    "[warning] Failed to lookup server initial thread count. Using default 10\n",
    "[warning] Failed to lookup server maximum thread count. Using default 50\n",
]


# What gateway selection logs at start-up when it finds no gateway: the
# discovery passes report (at "error", as every discovery report is logged)
# and their end.
GATEWAY_SELECTION = (
    "[information] zwave_client: Starting discovery",
    "[error] Network  MDNS = ",
    "[debug] discovery ",
    "[warning] No ZIP server selected for initialization",
)


def without_gateway_selection(lines):
    return [line for line in lines if not line.startswith(GATEWAY_SELECTION)]


def config_text(portal="", top="", drop=None):
    """The four required keys (less `drop`), with more inside portal and at the top."""
    security = "".join(f"{k} = {v}; " for k, v in REQUIRED.items() if k != drop)
    device = "" if drop == "device_specific_configuration_file" else 'device_specific_configuration_file = "dev.json";'
    return f"portal = {{ {portal} security = {{ {security} }}; {device} }};\n{top}\n"


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def connect():
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(ADDRESS)
    return sock


def drain(sock, timeout):
    """What arrives until the daemon closes; None when it does not close in time."""
    sock.settimeout(timeout)
    got = b""
    try:
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                return got
            got += chunk
    except socket.timeout:
        return None


# The protocol file that start-up loads from the configuration directory.
DEFAULT_AVSC = os.path.join(os.environ.get("ZW_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")),
                            "avi", "zwave.avsc")


class Daemon:
    def __init__(self, text, prefix=None, args=None, avsc=DEFAULT_AVSC):
        """avsc: the protocol file staged beside the configuration (None: none)."""
        self.dir = tempfile.mkdtemp(prefix="kestrund_test_")
        os.makedirs(os.path.join(self.dir, "etc"))
        if avsc is not None:
            shutil.copyfile(avsc, os.path.join(self.dir, "etc", "zwave.avsc"))
        self.conf = os.path.join(self.dir, "etc", "kestrund.conf")
        with open(self.conf, "w") as out:
            out.write(text)
        self.lock = threading.Lock()
        self.out = []
        self.err = []
        binary = os.environ["KESTRUND"]
        command = (prefix or []) + [binary] + (args if args is not None else ["-f", self.conf])
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     stdin=subprocess.DEVNULL)
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, self.out)),
                        threading.Thread(target=self._read, args=(self.proc.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, stream, lines):
        for raw in iter(stream.readline, b""):
            with self.lock:
                lines.append(raw.decode(errors="replace"))

    def stdout(self):
        with self.lock:
            return list(self.out)

    def stderr(self):
        with self.lock:
            return list(self.err)

    def wait_lines(self, which, part, timeout=3.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(part in line for line in which()):
                return True
            time.sleep(0.05)
        return False

    def wait_ready(self, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                # Connect and close at once: the daemon logs nothing for it.
                connect().close()
                # Let the accept thread hand that connection over (it carries
                # the workers' name while it does) and the worker end.
                time.sleep(0.3)
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def finish(self, timeout=10.0):
        """Exit status once the process has ended (killed after timeout)."""
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = None
            self.proc.wait()
        for reader in self.readers:
            reader.join()
        shutil.rmtree(self.dir, ignore_errors=True)
        return rc

    def stop(self, signo=signal.SIGTERM, timeout=10.0):
        began = time.monotonic()
        self.proc.send_signal(signo)
        rc = self.finish(timeout)
        return rc, time.monotonic() - began

    def workers(self):
        """Threads named AServerWorker. The daemon names each worker as it
        makes it and never carries the name itself, so a sanitizer's own
        thread, which takes the name of the thread that first starts one,
        is not among them."""
        return sum(1 for _, name in self.threads() if name == "AServerWorker")

    def wait_workers(self, expected, timeout=3.0):
        deadline = time.monotonic() + timeout
        while True:
            count = self.workers()
            if count == expected or time.monotonic() > deadline:
                return count
            time.sleep(0.1)

    def threads(self):
        """(tid, name) of every thread of the daemon."""
        names = []
        base = f"/proc/{self.proc.pid}/task"
        for tid in os.listdir(base):
            try:
                with open(f"{base}/{tid}/comm") as comm:
                    names.append((int(tid), comm.read().strip()))
            except OSError:
                pass
        return names


class Checks:
    def __init__(self):
        self.failures = 0

    def check(self, ok, what):
        print(("ok   " if ok else "FAIL ") + what, flush=True)
        if not ok:
            self.failures += 1
        return ok


class AvroPeer:
    """python3-avro on the project's protocol file: writes request payloads
    (Cookies, message name, "types" branch) and decodes reply frames."""

    def __init__(self, avsc=DEFAULT_AVSC):
        import avro.io  # noqa: F401 (python3-avro, only for the tests that speak Avro)
        import avro.schema
        with open(avsc, encoding="utf-8") as f:
            protocol = avro.schema.parse(f.read())
        self.types = next(field.type for field in protocol.fields if field.name == "types")
        self.messages = next(field.type for field in protocol.fields if field.name == "messages")
        self.branches = {schema.name: (index, schema) for index, schema in enumerate(self.types.schemas)}

    def request_type(self, name):
        entry = next(field.type for field in self.messages.fields if field.name == name)
        return next(field.type.name for field in entry.fields if field.name == "request")

    def payload(self, user, name, branch, value):
        import io
        import avro.io
        out = io.BytesIO()
        encoder = avro.io.BinaryEncoder(out)
        avro.io.DatumWriter(self.branches["Cookies"][1]).write({"user": user}, encoder)
        encoder.write_utf8(name)
        # python3-avro resolves a union by the last branch the datum validates
        # against, and the empty record Void takes any dict: write the index.
        index, schema = self.branches[branch]
        encoder.write_long(index)
        avro.io.DatumWriter(schema).write(value, encoder)
        return out.getvalue()

    def decode(self, reply):
        """(branch name, value) of a reply frame, or None when it is not one."""
        import io
        import avro.io
        if reply is None or len(reply) < 4:
            return None
        length = int.from_bytes(reply[:4], "big")
        if length != len(reply) - 4:
            return None
        stream = io.BytesIO(reply[4:])
        decoder = avro.io.BinaryDecoder(stream)
        index = decoder.read_long()
        schema = self.types.schemas[index]
        value = avro.io.DatumReader(schema).read(decoder)
        if stream.tell() != length:
            return None
        return schema.name, value


def network_request(network_id="01-02-03-04-05-06-07-08"):
    return {"command": {"network": {"id": network_id}, "utime": 0}}


def exchange(data, timeout=5):
    """One request frame; what comes back until the daemon closes."""
    sock = connect()
    try:
        sock.sendall(frame(data))
        return drain(sock, timeout)
    finally:
        sock.close()


# ---------------------------------------------------------------------------
# A network namespace with a simulated gateway (the caller runs under
# `unshare -n`): discovery probes only from usable interface addresses, so a
# veth pair carries them.
# ---------------------------------------------------------------------------

def sh(*args):
    subprocess.run(args, check=True)


def veth_setup(addresses):
    """Loopback up and the addresses ("10.77.0.1/24", ...) on a veth pair."""
    sh("ip", "link", "set", "lo", "up")
    sh("ip", "link", "add", "zwd0", "type", "veth", "peer", "name", "zwd1")
    sh("ip", "link", "set", "zwd1", "up")
    for address in addresses:
        sh("ip", "addr", "add", address, "dev", "zwd0")
    sh("ip", "link", "set", "zwd0", "up")


class SimGateway:
    """The gateway simulator at `address`, its output lines kept in `lines`;
    with `discoverable` also the discovery responder for it."""

    def __init__(self, sim, address, profiles=(), extra_args=(), discoverable=True):
        args = [sim, "--address", address] + [arg for profile in profiles for arg in ("--profile", profile)]
        args += list(extra_args)
        self.lines = []
        self.sim = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read)
        self.reader.start()
        self.responder = None
        if discoverable:
            responder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "net_gateway_responder.py")
            self.responder = subprocess.Popen(["/usr/bin/python3", responder, address],
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            self.responder.stdout.readline()  # "ready"

    def _read(self):
        for raw in iter(self.sim.stdout.readline, b""):
            self.lines.append(raw.decode(errors="replace"))

    def stop(self):
        if self.responder:
            self.responder.stdin.close()
            self.responder.wait(10)
        self.sim.send_signal(signal.SIGTERM)
        self.sim.wait(10)
        self.reader.join()


class NetInstall:
    """A configuration directory with the protocol file and a device
    configuration, and its data directory beside it; `stored` becomes the
    stored gateway list (zip_server.txt) when given."""

    def __init__(self, avsc, prefix, stored=None):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.etc = os.path.join(self.root, "etc")
        self.networks = os.path.join(self.root, "var", "networks")
        os.makedirs(self.etc)
        os.makedirs(self.networks)
        shutil.copyfile(avsc, os.path.join(self.etc, "zwave.avsc"))
        with open(os.path.join(self.etc, "dev.json"), "w") as out:
            out.write('{"device_records": [{"vid": 1, "ptype": 2, "pid": 3, "category": 4}]}')
        self.conf = os.path.join(self.etc, "kestrund.conf")
        with open(self.conf, "w") as out:
            out.write('portal = { security = { CA_certificate_file = "ca.pem"; SSL_certificate_file = "ssl.pem"; '
                      'private_key_file = "key.pem"; }; device_specific_configuration_file = "dev.json"; };\n')
        self.zip_server = os.path.join(self.networks, "zip_server.txt")
        if stored is not None:
            with open(self.zip_server, "w") as out:
                out.write(stored)

    def daemon(self):
        return Daemon("", args=["-f", self.conf], avsc=None)

    def stored(self):
        with open(self.zip_server) as f:
            return f.read()

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def stop_checks(check, daemon, what):
    """SIGTERM ends the daemon with status 0 and no sanitizer report."""
    rc, took = daemon.stop(signal.SIGTERM, timeout=30)
    check(rc == 0, f"{what}: SIGTERM ends it with status 0 ({rc}, {took:.1f} s)")
    check(not any(line.startswith(("==", "WARNING: ThreadSanitizer")) or "runtime error:" in line
                  for line in daemon.stderr()), f"{what}: no sanitizer report")
