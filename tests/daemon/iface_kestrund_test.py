#!/usr/bin/python3
"""The interface messages of the real kestrund, spoken by python3-avro on its
socket, against the gateway simulator's demo nodes: a binary switch (2), a
sleeping sensor with a battery (3) and a basic node (4).

Runs in a network namespace of its own (the caller starts it under
`unshare -n`), set up as the network tests set theirs up.

Usage: iface_kestrund_test.py KESTRUND ZIPGW_SIM ZWAVE_AVSC
"""
import os
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
SWITCH, SENSOR = 2, 3


def interface_request(node, cls, passive=False, value=None):
    command = {"interface": {"endpoint": {"node": {"network": {"id": net.FIXED_ID}, "id": node}, "id": 0},
                             "id": cls}, "passive": passive}
    record = {"command": command}
    if value is not None:
        record["parameter"] = {"value": value}
    return record


def ask(name, node, cls, passive=False, value=None, timeout=20):
    branch = "InterfaceValueSetRequest" if value is not None else "InterfaceRequest"
    reply = exchange(net.PEER.payload("test", name, branch, interface_request(node, cls, passive, value)),
                     timeout=timeout)
    return net.PEER.decode(reply)


def poll(fn, timeout=40.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        got = fn()
        if got:
            return got
        time.sleep(0.3)
    return None


def received(gateway, host, hex_text):
    return any(" rx " in line and f"10.77.0.{host}:" in line and hex_text in line.upper() for line in gateway.lines)


def main():
    net.net_setup([1, 2, 3, 4])
    # The sleeping sensor wakes up every few seconds.
    gateway = net.Gateway(["demo"], ["--wake-every", "3"])
    install = net.Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{net.GATEWAY}|41231\n")
    daemon = install.daemon()
    if not check(net.wait_initialised(daemon) is not None, "the network initialises with the demo nodes"):
        net.stop_checks(daemon, "interfaces")
        gateway.stop()
        return 1

    reply = ask("interface_switch_binary_set", SWITCH, 0x25, value=1)
    check(reply is not None and reply[0] == "InterfaceResponse", f"switch set 1 answers ({reply})")
    check(poll(lambda: received(gateway, SWITCH, "25 01 FF")) is not None,
          "the switch received Binary Switch Set 0xFF")
    got = poll(lambda: (lambda r: r if r and r[1]["parameter"]["utime"] != 0 else None)(
        ask("interface_switch_binary_get", SWITCH, 0x25)))
    check(got is not None and got[0] == "InterfaceValueGetResponse" and got[1]["parameter"]["value"] == 255,
          f"a following get answers 255 with its report time ({got})")

    first = ask("interface_battery_get", SENSOR, 0x80)
    check(first is not None and first[0] == "InterfaceBatteryGetResponse"
          and set(first[1]["parameter"]) == {"utime", "level"},
          f"the sleeping node's battery get answers at once from what is stored ({first})")
    woken = poll(lambda: (lambda r: r if r and r[1]["parameter"]["utime"] != 0 else None)(
        ask("interface_battery_get", SENSOR, 0x80, passive=True)), timeout=60)
    check(woken is not None and woken[1]["parameter"]["level"] == 100,
          f"after the node woke up the battery level is the device's ({woken})")

    stray = ask("interface_battery_get", SWITCH, 0x25, timeout=5)
    check(stray is None, f"a battery message aimed at the switch interface gets no reply ({stray})")
    still = ask("interface_switch_binary_get", SWITCH, 0x25, passive=True)
    check(still is not None and still[1]["parameter"]["value"] == 255, "and the switch state is untouched")

    net.stop_checks(daemon, "interfaces")
    gateway.stop()
    install.remove()
    print(f"{net.checks.failures} failure(s)")
    return 1 if net.checks.failures else 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
