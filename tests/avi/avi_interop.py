#!/usr/bin/python3
"""Avro C (through zw_avro_init) against python3-avro on the project's zwave.avsc.

Stages an install tree in a temporary directory, lets the C peer encode the
request payloads (Cookies record, message name, one "types" value) and checks
them byte for byte against python3-avro's encoding of the same data; then each
side decodes the other's bytes. Also checks the shape of the protocol file
with python3-avro's own parser.

usage: avi_interop.py <avi_interop_peer> <zwave.avsc>
"""
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile

import avro.io
import avro.schema

NETWORK_ID = "01-02-03-04-05-06-07-08"

# Keep in step with the table of avi_interop_peer.cpp.
CASES = [
    ("interface", "alice", "interface_basic_get", "Interface",
     {"endpoint": {"node": {"network": {"id": NETWORK_ID}, "id": 5}, "id": 1}, "id": 0x20}),
    ("network", None, "network_info_get", "Network", {"id": NETWORK_ID}),
    ("node", "zo\u00eb", "node_endpoint_list_get", "Node", {"network": {"id": "aa-bb"}, "id": 232}),
    ("endpoint", None, "endpoint_interface_list_get", "Endpoint",
     {"node": {"network": {"id": ""}, "id": -1}, "id": 2147483647}),
    ("void", "", "", "Void", {}),
]

failures = []


def fail(text):
    failures.append(text)
    print("FAIL: " + text, file=sys.stderr)


def field_type(record, name):
    for field in record.fields:
        if field.name == name:
            return field.type
    return None


def load(path):
    with open(path, encoding="utf-8") as f:
        protocol = avro.schema.parse(f.read())
    types = field_type(protocol, "types")
    messages = field_type(protocol, "messages")
    return protocol, types, messages


def check_shape(protocol, types, messages):
    if protocol.type != "record":
        fail("top level is not a record")
    if types is None or types.type != "union":
        fail("'types' is missing or not a union")
        return
    branches = {s.name: s for s in types.schemas if hasattr(s, "name")}
    for name in ("Void", "Cookies", "Network", "Node", "Endpoint", "Interface"):
        if name not in branches:
            fail("'types' lacks the branch " + name)
    cookies = branches.get("Cookies")
    if cookies is not None:
        user = field_type(cookies, "user")
        if user is None or user.type != "union" or [s.type for s in user.schemas] != ["string", "null"]:
            fail("Cookies.user is not [string, null]")
    if messages is None or messages.type != "record":
        fail("'messages' is missing or not a record")
        return
    for message in messages.fields:
        for side in ("request", "response"):
            record = field_type(message.type, side) if message.type.type == "record" else None
            if record is None or getattr(record, "name", None) not in branches:
                fail("message %s: %s does not name a branch of 'types'" % (message.name, side))


def branch_index(types, name):
    for index, schema in enumerate(types.schemas):
        if getattr(schema, "name", None) == name:
            return index, schema
    raise KeyError(name)


def py_encode(cookies, types, user, name, branch, value):
    out = io.BytesIO()
    encoder = avro.io.BinaryEncoder(out)
    avro.io.DatumWriter(cookies).write({"user": user}, encoder)
    encoder.write_utf8(name)
    # python3-avro resolves a union by taking the last branch the datum
    # validates against, and the empty record Void takes any dict: so the
    # branch index is written explicitly.
    index, schema = branch_index(types, branch)
    encoder.write_long(index)
    avro.io.DatumWriter(schema).write(value, encoder)
    return out.getvalue()


def py_decode(cookies, types, payload):
    stream = io.BytesIO(payload)
    decoder = avro.io.BinaryDecoder(stream)
    cookie = avro.io.DatumReader(cookies).read(decoder)
    name = decoder.read_utf8()
    index = decoder.read_long()
    schema = types.schemas[index]
    value = avro.io.DatumReader(schema).read(decoder)
    return cookie["user"], name, schema.name, value, stream.tell() == len(payload)


def run_peer(peer, mode, env, stdin=""):
    result = subprocess.run([peer, mode], input=stdin, capture_output=True, text=True, env=env, timeout=60)
    if result.returncode != 0:
        fail("peer %s exited %d: %s" % (mode, result.returncode, result.stderr))
        return {}
    answers = {}
    for line in result.stdout.splitlines():
        label, _, rest = line.partition(" ")
        answers[label] = rest
    return answers


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    peer, schema_file = sys.argv[1], sys.argv[2]
    protocol, types, messages = load(schema_file)
    check_shape(protocol, types, messages)
    if failures:
        return 1
    cookies = branch_index(types, "Cookies")[1]

    base = tempfile.mkdtemp(prefix="zw_avi_interop_")
    try:
        os.makedirs(os.path.join(base, "x"))
        etc = os.path.join(base, "install", "corvale", "etc")
        os.makedirs(etc)
        shutil.copyfile(schema_file, os.path.join(etc, "zwave.avsc"))
        env = dict(os.environ, VANTOR_INSTALL_PATH=os.path.join(base, "x"))

        # Avro C encodes; python3-avro must produce the same bytes and read them back.
        c_bytes = run_peer(peer, "encode", env)
        for label, user, name, branch, value in CASES:
            expected = py_encode(cookies, types, user, name, branch, value)
            got = bytes.fromhex(c_bytes.get(label, ""))
            if got != expected:
                fail("%s: Avro C wrote %s, python3-avro %s" % (label, got.hex(), expected.hex()))
                continue
            decoded = py_decode(cookies, types, got)
            if decoded != (user, name, branch, value, True):
                fail("%s: python3-avro decoded %r" % (label, decoded))

        # python3-avro encodes; Avro C decodes.
        lines = "".join("%s %s\n" % (label, py_encode(cookies, types, user, name, branch, value).hex())
                        for label, user, name, branch, value in CASES)
        answers = run_peer(peer, "decode", env, lines)
        for label, user, name, branch, value in CASES:
            if label not in answers:
                fail("%s: Avro C gave no answer" % label)
                continue
            got = json.loads(answers[label])
            want = {"user": user, "name": name, "branch": branch, "value": value, "consumed_all": True}
            if got != want:
                fail("%s: Avro C decoded %r, expected %r" % (label, got, want))
    finally:
        shutil.rmtree(base)

    if failures:
        return 1
    print("%d cases agree both ways" % len(CASES))
    return 0


if __name__ == "__main__":
    sys.exit(main())
