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
