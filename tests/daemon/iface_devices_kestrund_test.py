#!/usr/bin/python3
"""The meter, sensor, multilevel switch and colour switch messages of the real
kestrund, spoken by python3-avro on its socket, against the gateway
simulator's full set of nodes: a binary switch (2), a sleeping sensor (3), a
basic node (4), a dimmer (5), a colour light (6), a metering plug (7) and a
multisensor (8).

Runs in a network namespace of its own (the caller starts it under
`unshare -n`), set up as the network tests set theirs up.

Usage: iface_devices_kestrund_test.py KESTRUND ZIPGW_SIM ZWAVE_AVSC
"""
import collections
import os
import re
import signal
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
KESTRUND, SIM, AVSC = sys.argv[1:4]
# The network tests' set-up, imported: they read their arguments at import.
sys.argv = [sys.argv[0], KESTRUND, SIM, AVSC, "nodes"]
import net_kestrund_test as net  # noqa: E402
from core_kestrund import exchange  # noqa: E402

check = net.check
PEER = net.PEER
SWITCH, DIMMER, COLOR, METER, MULTISENSOR = 2, 5, 6, 7, 8
SWITCH_BINARY, SWITCH_MULTILEVEL, SWITCH_COLOR = 0x25, 0x26, 0x33
SENSOR_BINARY, SENSOR_MULTILEVEL, METERING = 0x30, 0x31, 0x32
# The daemon closes at once on a refused request and within its report wait
# (11 s) on a get; sanitizer builds under load take longer.
CLOSE_WAIT = 40
DEADLINE = 60.0


def response_type(name):
    entry = next(field.type for field in PEER.messages.fields if field.name == name)
    return next(field.type.name for field in entry.fields if field.name == "response")


def command(node, cls, passive=False):
    return {"interface": {"endpoint": {"node": {"network": {"id": net.FIXED_ID}, "id": node}, "id": 0}, "id": cls},
            "passive": passive}


def send(name, node, cls, parameter=None, passive=False):
    """What the daemon sent back before it closed (None: it did not close in time)."""
    record = {"command": command(node, cls, passive)}
    if parameter is not None:
        record["parameter"] = parameter
    return exchange(PEER.payload("test", name, PEER.request_type(name), record), timeout=CLOSE_WAIT)


def poll(fn, timeout=DEADLINE):
    """The first true result of fn(), or None at the deadline."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = fn()
        if got:
            return got
        time.sleep(0.3)
    return None


def conforms(schema, value):
    """Whether value is what python3-avro makes of a datum of the schema: a
    dict of exactly the record's fields, lists for arrays, bytes of the
    fixed size."""
    kind = schema.type
    if kind in ("record", "error"):
        return (isinstance(value, dict) and set(value) == {field.name for field in schema.fields}
                and all(conforms(field.type, value[field.name]) for field in schema.fields))
    if kind == "array":
        return isinstance(value, list) and all(conforms(schema.items, item) for item in value)
    if kind == "fixed":
        return isinstance(value, bytes) and len(value) == schema.size
    if kind == "union":
        return any(conforms(branch, value) for branch in schema.schemas)
    if kind in ("int", "long"):
        return isinstance(value, int) and not isinstance(value, bool)
    simple = {"boolean": bool, "string": str, "bytes": bytes, "null": type(None)}
    return kind not in simple or isinstance(value, simple[kind])


# The node's own commands as the simulator logs them: "rx <node address> <-
# ... cmd 26 02 [ack]".
NODE_RX = re.compile(r" rx 10\.77\.0\.(\d+):\d+ <- .* cmd ((?:[0-9A-F]{2} ?)+)")


def node_commands(gateway, host, start=0):
    """(line index, command hex) of each command that reached node `host` from line `start` on."""
    got = []
    for index, line in enumerate(list(gateway.lines)[start:], start):
        match = NODE_RX.search(line)
        if match and int(match.group(1)) == host:
            got.append((index, match.group(2).strip()))
    return got


def received(gateway, host, hex_text, start=0):
    return any(cmd.startswith(hex_text) for _, cmd in node_commands(gateway, host, start))


def level_change(start_stop, **rest):
    fields = {"start_stop": start_stop, "up_down": 0, "ignore_start_level": 1, "start_level": -1}
    fields.update(rest)
    return fields


def readings(field, **want):
    """An expectation: a non-empty list in `field` whose every item has utime != 0 and the wanted values."""
    return lambda p: p[field] != [] and all(item["utime"] != 0 and all(item[k] == v for k, v in want.items())
                                            for item in p[field])


def reported(**want):
    """An expectation: a report time and the wanted values."""
    return lambda p: p["utime"] != 0 and all(p[k] == v for k, v in want.items())


def bare(p):
    """An expectation: the reply has no parameter."""
    return p is None


def colours(pairs):
    """An expectation: the components (id, current value) of `pairs` (in the order of their ids; the
    daemon keeps them in the order they were first reported), of version 3: target as current, no duration."""
    return lambda p: (sorted((item["id"], item["cvalue"]) for item in p["switch_color_value_list"]) == pairs
                      and all(item["utime"] != 0 and item["tvalue"] == item["cvalue"] and item["dur"] == 0
                              for item in p["switch_color_value_list"]))


Case = collections.namedtuple("Case", "name node cls parameter what expect frame passive", defaults=(None, False))

# In order: a set comes before the get that reads it back. `frame`: the
# command the node must have received.
ROUND_TRIPS = [
    Case("interface_meter_supported_get", METER, METERING, None, "electric, scales 0 and 2, resettable",
         reported(meter_type=1, scale_supported=0x05, meter_reset=1)),
    Case("interface_meter_get", METER, METERING, {"scale": 2}, "45.6 W, 30 s after 40.0 W",
         readings("meter_value_list", meter_type=1, rate_type=1, scale=2, precision=1, size=2,
                  meter_value=b"\x01\xc8\0\0", delta_time=30, previous_meter_value=b"\x01\x90\0\0"),
         "32 01 10"),
    Case("interface_meter_get", METER, METERING, {"scale": 0}, "12.34 kWh",
         readings("meter_value_list", scale=0, precision=2, size=4, meter_value=b"\0\0\x04\xd2"), "32 01 00"),
    Case("interface_meter_get", METER, METERING, {"scale": -1}, "both stored readings, scales 0 and 2",
         lambda p: sorted(r["scale"] for r in p["meter_value_list"]) == [0, 2], None, True),
    Case("interface_meter_reset", METER, METERING, None, "a reset", bare, "32 05"),
    Case("interface_meter_get", METER, METERING, {"scale": 0}, "0 kWh after the reset",
         readings("meter_value_list", scale=0, meter_value=bytes(4))),
    Case("interface_sensor_binary_supported_get", MULTISENSOR, SENSOR_BINARY, None, "door/window and motion",
         lambda p: p["utime"] != 0 and sorted(p["supported_types"]) == [0x0A, 0x0C]),
    Case("interface_sensor_binary_get", MULTISENSOR, SENSOR_BINARY, {"sensor_type": 0x0A}, "the door open",
         lambda p: p["event_utime"] != 0 and p["sensor_type"] == 0x0A and p["sensor_value"] == 0xFF, "30 02 0A"),
    Case("interface_sensor_binary_get", MULTISENSOR, SENSOR_BINARY, {"sensor_type": 0x0C}, "no motion",
         lambda p: p["idle_utime"] != 0 and p["sensor_type"] == 0x0C and p["sensor_value"] == 0, "30 02 0C"),
    Case("interface_sensor_multilevel_supported_get", MULTISENSOR, SENSOR_MULTILEVEL, None,
         "temperature and humidity", lambda p: p["utime"] != 0 and sorted(p["supported_types"]) == [1, 5]),
    Case("interface_sensor_multilevel_scale_supported_get", MULTISENSOR, SENSOR_MULTILEVEL, {"sensor_type": 1},
         "Celsius and Fahrenheit", reported(sensor_type=1, supported_scales=[0, 1])),
    Case("interface_sensor_multilevel_get", MULTISENSOR, SENSOR_MULTILEVEL, {"sensor_type": 1, "scale": 0},
         "21.5 degrees Celsius", readings("sensor_value_list", sensor_type=1, scale=0, precision=1, size=2,
                                          sensor_value=b"\0\xd7\0\0"), "31 04 01 00"),
    Case("interface_sensor_multilevel_get", MULTISENSOR, SENSOR_MULTILEVEL, {"sensor_type": 5, "scale": 0},
         "45 % humidity", readings("sensor_value_list", sensor_type=5, scale=0, precision=0, size=1,
                                   sensor_value=b"\x2d\0\0\0"), "31 04 05 00"),
    Case("interface_switch_multilevel_supported_get", DIMMER, SWITCH_MULTILEVEL, None, "a down/up switch",
         reported(primary_switch_type=2, secondary_switch_type=0)),
    Case("interface_switch_multilevel_set", DIMMER, SWITCH_MULTILEVEL, {"value": 40, "dimming_duration": -1},
         "level 40 at the device's own pace", bare, "26 01 28 FF"),
    Case("interface_switch_multilevel_get", DIMMER, SWITCH_MULTILEVEL, None, "level 40", reported(value=40),
         "26 02"),
    Case("interface_switch_multilevel_level_change_set", DIMMER, SWITCH_MULTILEVEL,
         level_change(1, dimming_duration=-1, inc_dec=-1, step_size=-1), "a start", bare, "26 04"),
    Case("interface_switch_multilevel_level_change_get", DIMMER, SWITCH_MULTILEVEL, None, "the start",
         reported(start_stop=1)),
    Case("interface_switch_multilevel_level_change_set", DIMMER, SWITCH_MULTILEVEL,
         level_change(0, dimming_duration=-1, inc_dec=-1, step_size=-1), "a stop", bare, "26 05"),
    Case("interface_switch_multilevel_level_change_get", DIMMER, SWITCH_MULTILEVEL, None, "the stop",
         reported(start_stop=0)),
    Case("interface_switch_color_supported_get", COLOR, SWITCH_COLOR, None, "warm white, red, green and blue",
         reported(mask=0x1D)),
    Case("interface_switch_color_set", COLOR, SWITCH_COLOR,
         {"switch_color_set_list": [{"id": 2, "value": 255}, {"id": 3, "value": 0}], "dur": -1},
         "red 255 and green 0", bare, "33 05 02 02 FF 03 00"),
    # A get asks the device for the lowest component of its mask only and
    # answers every stored one: green is read first.
    Case("interface_switch_color_get", COLOR, SWITCH_COLOR, {"mask": 0x08}, "green 0", colours([(3, 0)]),
         "33 03 03"),
    Case("interface_switch_color_get", COLOR, SWITCH_COLOR, {"mask": 0x0C}, "red 255 and green 0",
         colours([(2, 255), (3, 0)]), "33 03 02"),
    Case("interface_switch_color_level_change_set", COLOR, SWITCH_COLOR,
         level_change(1, id=2, duration=-1), "a start of red", bare, "33 06"),
    Case("interface_switch_color_level_change_get", COLOR, SWITCH_COLOR, {"mask": 0x0C}, "red started only",
         lambda p: [(e["id"], e["start_stop"]) for e in p["switch_color_level_change_value_list"]] == [(2, 1)]
         and all(e["utime"] != 0 for e in p["switch_color_level_change_value_list"])),
]

# A get of each interface that the device answers; the first command it
# sends to the node marks that what was asked before has been dealt with.
MARKERS = {
    (SWITCH, SWITCH_BINARY): ("interface_switch_binary_get", None, "25 02"),
    (DIMMER, SWITCH_MULTILEVEL): ("interface_switch_multilevel_get", None, "26 02"),
    (COLOR, SWITCH_COLOR): ("interface_switch_color_get", {"mask": 0x01}, "33 03 00"),
    (METER, METERING): ("interface_meter_get", {"scale": 0}, "32 01 00"),
    (MULTISENSOR, SENSOR_BINARY): ("interface_sensor_binary_get", {"sensor_type": 0x0C}, "30 02 0C"),
    (MULTISENSOR, SENSOR_MULTILEVEL): ("interface_sensor_multilevel_get", {"sensor_type": 5, "scale": 0},
                                       "31 04 05 00"),
}

# (message, node, interface class, parameter, why it is refused)
REFUSED = [
    ("interface_meter_get", DIMMER, SWITCH_MULTILEVEL, {"scale": 0}, "a meter message at a dimmer"),
    ("interface_switch_color_get", SWITCH, SWITCH_BINARY, {"mask": 0x04}, "a colour message at a binary switch"),
    ("interface_sensor_multilevel_get", METER, METERING, {"sensor_type": 1, "scale": 0},
     "a multilevel sensor message at a meter"),
    ("interface_sensor_binary_get", COLOR, SWITCH_COLOR, {"sensor_type": 0x0A},
     "a binary sensor message at a colour switch"),
    ("interface_switch_multilevel_set", MULTISENSOR, SENSOR_MULTILEVEL, {"value": 10, "dimming_duration": -1},
     "a multilevel switch message at a multilevel sensor"),
    ("interface_switch_multilevel_set", DIMMER, SWITCH_MULTILEVEL, {"value": 256, "dimming_duration": -1},
     "level 256"),
    ("interface_switch_multilevel_set", DIMMER, SWITCH_MULTILEVEL, {"value": 10, "dimming_duration": 256},
     "dimming duration 256"),
    ("interface_switch_multilevel_level_change_set", DIMMER, SWITCH_MULTILEVEL,
     level_change(1, dimming_duration=-1, inc_dec=-1, step_size=256), "step size 256"),
    ("interface_switch_color_set", COLOR, SWITCH_COLOR,
     {"switch_color_set_list": [{"id": 2, "value": 1}] * 10, "dur": -1}, "10 colour components"),
    ("interface_switch_color_set", COLOR, SWITCH_COLOR,
     {"switch_color_set_list": [{"id": 2, "value": 256}], "dur": -1}, "colour value 256"),
    ("interface_switch_color_get", COLOR, SWITCH_COLOR, {"mask": 0}, "an empty colour mask"),
    ("interface_meter_get", METER, METERING, {"scale": 300}, "meter scale 300"),
    ("interface_sensor_binary_get", MULTISENSOR, SENSOR_BINARY, {"sensor_type": 256}, "binary sensor type 256"),
    ("interface_sensor_multilevel_get", MULTISENSOR, SENSOR_MULTILEVEL, {"sensor_type": 1, "scale": 256},
     "sensor scale 256"),
    ("interface_sensor_multilevel_scale_supported_get", MULTISENSOR, SENSOR_MULTILEVEL, {"sensor_type": -1},
     "no sensor type for the scales"),
]


def round_trip(gateway, case):
    expected = response_type(case.name)
    schema = PEER.branches[expected][1]
    start = len(gateway.lines)
    last = []

    def attempt():
        reply = PEER.decode(send(case.name, case.node, case.cls, case.parameter, case.passive))
        last[:] = [reply]
        # The reply names the interface asked; `passive` it leaves at its default.
        return (reply is not None and reply[0] == expected and conforms(schema, reply[1])
                and reply[1]["command"]["interface"] == command(case.node, case.cls)["interface"]
                and case.expect(reply[1].get("parameter")))

    ok = poll(attempt)
    shown = f"({case.parameter})" if case.parameter is not None else ""
    check(ok is not None, f"{case.name}{shown} at {case.node}/{case.cls:#04x} answers {expected}, its fields as "
          f"the record reads, with {case.what} ({last and last[0]})")
    if case.frame:
        check(poll(lambda: received(gateway, case.node, case.frame, start)) is not None,
              f"  and node {case.node} received {case.frame}")


def refused(gateway, name, node, cls, parameter, why):
    start = len(gateway.lines)
    raw = send(name, node, cls, parameter)
    check(raw == b"", f"{why}: {name}({parameter if len(str(parameter)) < 60 else '...'}) at {node}/{cls:#04x} "
          f"closes without a reply ({raw!r})")
    marker, marker_parameter, marker_frame = MARKERS[(node, cls)]
    again = PEER.decode(send(marker, node, cls, marker_parameter))
    check(again is not None and again[0] == response_type(marker), f"  and {marker} answers afterwards ({again})")
    # The marker's command reaches the node after anything the refused
    # request might have sent: nothing may come before it.
    seen = poll(lambda: (lambda got: got if any(cmd.startswith(marker_frame) for _, cmd in got) else None)(
        node_commands(gateway, node, start)))
    check(seen is not None and seen[0][1].startswith(marker_frame),
          f"  and node {node} received nothing before {marker_frame} ({seen})")


def run(gateway):
    for case in ROUND_TRIPS:
        round_trip(gateway, case)
    for refusal in REFUSED:
        refused(gateway, *refusal)


def main():
    net.net_setup(range(1, 9))
    gateway = net.Gateway(["full"])
    install = net.Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{net.GATEWAY}|41231\n")
    daemon = install.daemon()
    try:
        if check(net.wait_initialised(daemon, timeout=120) is not None, "the network of the full set initialises"):
            run(gateway)
    finally:
        net.stop_checks(daemon, "devices")
        gateway.stop()
        install.remove()
    print(f"{net.checks.failures} failure(s)")
    return 1 if net.checks.failures else 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
