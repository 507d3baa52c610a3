#!/usr/bin/python3
"""The network operation and whitelist messages of the real kestrund,
spoken by python3-avro on its socket, against the gateway simulator: a
Security 2 inclusion step by step, exclusion, abort, refused arguments, and
the gateway's provisioning list.

Runs in a network namespace of its own (the caller starts it under
`unshare -n`), set up as the network tests set theirs up.

Usage: ops_kestrund_test.py KESTRUND ZIPGW_SIM ZWAVE_AVSC PART
PART: incl, whitelist, learn
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
KESTRUND, SIM, AVSC, PART = sys.argv[1:5]
# The network tests' set-up, imported: they read their arguments at import.
sys.argv = [sys.argv[0], KESTRUND, SIM, AVSC, "nodes"]
import net_kestrund_test as net  # noqa: E402
from core_kestrund import exchange  # noqa: E402

check = net.check
JOINING = 7
# The simulator's DSK of the joining node (11 22 33 ... F0 01), as the
# library writes it.
NODE_DSK_TEXT = "04386-13124-21862-30600-39338-48076-56814-61441"


def ask(name, parameter=None, timeout=20):
    """(branch, value) of the reply, or None when the daemon closed without one."""
    record = net.network_request()
    if parameter is not None:
        record["parameter"] = parameter
    branch = net.PEER.request_type(name)
    return net.PEER.decode(exchange(net.PEER.payload("test", name, branch, record), timeout=timeout))


def op_state():
    reply = ask("network_operation_state_get")
    return reply[1]["parameter"] if reply else None


def wait_for(what, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.1)
    return None


def wait_status(op, status, timeout=60.0):
    return wait_for(lambda: (lambda s: s if s and s["current_operation"] == op
                             and s["current_operation_status"] == status else None)(op_state()), timeout)


def op_start(name, parameter=None):
    """The reply to a request that starts an operation. The library saves a changed network as an
    operation of its own a moment after the change has ended, and a start is refused until the save
    is done: it is asked again (for up to 60 s)."""
    return wait_for(lambda: ask(name, parameter), 60)


def wait_ended(op, timeout=90.0):
    """The operation fields once `op` is no longer current."""
    return wait_for(lambda: (lambda s: s if s and s["current_operation"] == 0 and s["previous_operation"] == op
                             else None)(op_state()), timeout)


def node_ids():
    reply = ask("network_node_list_get")
    return {node["id"] for node in reply[1]["parameter"]["node_list"]} if reply else set()


def log_has(daemon, text):
    return any(text in line for line in daemon.stdout() + daemon.stderr())


RUNNING = []


def start(alone=False):
    net.net_setup([1] if alone else [1, 2, 3, 4, JOINING])
    # A switch that waits to join (node 7) beside the demo nodes, or the
    # controller alone.
    gateway = net.Gateway() if alone else net.Gateway(["demo", f"{JOINING}=switch"], ["--joining", str(JOINING)])
    install = net.Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{net.GATEWAY}|41231\n")
    daemon = install.daemon()
    RUNNING[:] = [gateway, daemon]
    return gateway, install, daemon


def refused_arguments(daemon):
    idle = op_state()
    # Each is refused before the library sees it: a node id cut to its low
    # byte would name another node (258 -> 2), a CSA grant is 0 or 1.
    cases = [
        ("network_failed_node_remove", {"node_id": 258}, "Field 'node_id' value 258 out of range"),
        ("network_failed_node_replace", {"node_id": -1, "dsk": ""}, "Field 'node_id' value -1 out of range"),
        ("network_node_update", {"node_id": 258}, "Field 'node_id' value 258 out of range"),
        ("network_send_NIF", {"node_id": 4098, "is_broadcast": 0}, "Field 'node_id' value 4098 out of range"),
        ("network_node_add_grant_key_set", {"granted_keys": 0x187, "grant_csa": 0},
         "Field 'granted_keys' value 391 out of range"),
        ("network_node_add_grant_key_set", {"granted_keys": 0x87, "grant_csa": 2},
         "Field 'grant_csa' value 2 out of range"),
        ("network_node_add_accept", {"accept": 256, "dsk": NODE_DSK_TEXT}, "Field 'accept' value 256 out of range"),
        # In range but not in the tree: refused before the library is called.
        ("network_node_update", {"node_id": 99}, "Failed to find (NodeId): (99)"),
        ("network_send_NIF", {"node_id": 99, "is_broadcast": 0}, "Failed to find (NodeId): (99)"),
    ]
    for name, parameter, text in cases:
        check(ask(name, parameter) is None, f"{name} {parameter} is refused without a reply")
        if not check(wait_for(lambda: log_has(daemon, text), 10), f"{name} {parameter} logs {text!r}"):
            print("".join((daemon.stdout() + daemon.stderr())[-5:]))
    check(op_state() == idle, f"no refused request touched the operation fields ({op_state()})")
    # Without the matching step the Security 2 data is not handed out.
    for name in ("network_node_add_req_key_get", "network_node_add_dsk_get", "network_node_prekit_dsk_get",
                 "network_initiate_local_dsk_get"):
        check(ask(name) is None, f"{name} without an inclusion at that step answers nothing")


def part_incl():
    gateway, install, daemon = start()
    if not check(net.wait_initialised(daemon) is not None, "the network initialises"):
        return
    check(JOINING not in node_ids() and {2, 3, 4} <= node_ids(), f"node {JOINING} is not in the network yet")
    refused_arguments(daemon)

    # A broadcast needs no node in the tree.
    check(op_start("network_send_NIF", {"node_id": 99, "is_broadcast": 1}) is not None,
          "network_send_NIF as a broadcast succeeds with a node id outside the tree")
    check(wait_ended(14) is not None, "and the send ends")

    # Security 2 inclusion, step by step.
    check(op_start("network_node_add", {"dsk": ""}) is not None, "network_node_add with an empty DSK starts an add")
    keys_step = wait_status(2, 11)
    check(keys_step is not None, f"the add waits for the keys with status 11 ({op_state()})")
    check(ask("network_node_add_dsk_get") is None, "network_node_add_dsk_get while keys are asked fails")
    keys = ask("network_node_add_req_key_get")
    check(keys is not None and keys[1]["parameter"]["req_keys"] == 0x87 and keys[1]["parameter"]["req_csa"] == 1,
          f"network_node_add_req_key_get tells the requested keys and CSA ({keys})")
    check(ask("network_node_add_grant_key_set", {"granted_keys": 0x87, "grant_csa": 0}) is not None,
          "network_node_add_grant_key_set grants the keys")
    check(wait_status(2, 12) is not None, f"the add then waits for the DSK with status 12 ({op_state()})")
    dsk = ask("network_node_add_dsk_get")
    got = dsk[1]["parameter"] if dsk else {}
    check(got.get("dsk", "") != "" and NODE_DSK_TEXT.endswith(got.get("dsk")),
          f"network_node_add_dsk_get hands out the node's DSK ({got}, {NODE_DSK_TEXT})")
    check(ask("network_node_add_req_key_get") is None, "the key request is gone once the DSK is asked")
    check(ask("network_node_add_accept", {"accept": 1, "dsk": NODE_DSK_TEXT}) is not None,
          "network_node_add_accept accepts the full DSK")
    ended = wait_ended(2)
    check(ended is not None and ended["current_operation_status"] == 0, f"the add completes ({op_state()})")
    check(wait_for(lambda: JOINING in node_ids(), 60), f"node {JOINING} is in the node list ({node_ids()})")

    # Exclusion: the simulator excludes the node that joined.
    check(op_start("network_node_remove") is not None, "network_node_remove starts a remove")
    ended = wait_ended(3)
    check(ended is not None and ended["current_operation_status"] == 0, f"the remove completes ({op_state()})")
    check(wait_for(lambda: JOINING not in node_ids(), 30), f"node {JOINING} has left the node list")

    # Abort while the keys are asked.
    check(op_start("network_node_add", {"dsk": ""}) is not None, "a second add starts")
    check(wait_status(2, 11) is not None, "and waits for the keys")
    check(ask("network_operation_abort") is not None, "network_operation_abort succeeds")
    state = op_state()
    check(state is not None and state["current_operation"] == 0 and state["current_operation_status"] == -5
          and state["previous_operation"] == 2, f"the add shows as aborted ({state})")
    check(ask("network_node_add_req_key_get") is None, "no key request is handed out after the abort")
    check({2, 3, 4} <= node_ids(), "the rebuilt tree holds the nodes")
    net.stop_checks(daemon, "incl")
    gateway.stop()
    install.remove()


def part_learn():
    # A controller that holds other nodes may not leave its network: the
    # simulated gateway is alone.
    gateway, install, daemon = start(alone=True)
    if not check(net.wait_initialised(daemon) is not None, "the network initialises"):
        return
    check(op_start("network_initiate") is not None, "network_initiate starts learn mode")
    # The simulator answers at once, so the step with the controller's DSK
    # passes too fast to be asked for here: the log shows it was reached.
    check(wait_for(lambda: log_has(daemon, "Network operation 'Initiate' in progress with intermediate status "
                                           "'Security 2 initiate - self dsk ready'"), 60),
          "learn mode delivered the controller's DSK")
    ended = wait_ended(6)
    check(ended is not None, f"learn mode ends ({op_state()})")
    check(ask("network_initiate_local_dsk_get") is None, "and the local DSK is no longer handed out")
    check(wait_for(lambda: 1 in node_ids(), 30), "the rebuilt tree holds the controller")
    net.stop_checks(daemon, "learn")
    gateway.stop()
    install.remove()


DSK_A = "11111-22222-33333-44444-55555-00001-00002-00003"
DSK_B = "11111-22222-33333-44444-55555-00001-00002-00004"


def whitelist():
    reply = ask("network_whitelist_list_report")
    return reply[1]["parameter"]["whitelist_list"] if reply else None


def refreshed_list(expected):
    def probe():
        ask("network_whitelist_list_get")
        return whitelist() == expected
    return wait_for(probe, 30)


def device_info(dsk, expected):
    """The device's record once the gateway's answer to an earlier
    request arrived (each reply carries the previous report)."""
    last = []

    def probe():
        reply = ask("network_whitelist_device_info", {"dsk": dsk})
        last[:] = [reply[1]["parameter"] if reply else None]
        return last[0] == expected
    return wait_for(probe, 30) or last[0]


def part_whitelist():
    gateway, install, daemon = start()
    if not check(net.wait_initialised(daemon) is not None, "the network initialises"):
        return
    check(whitelist() == [], "network_whitelist_list_report before any list get answers an empty list")
    check(ask("network_whitelist_device_info", {"dsk": DSK_A}) is None,
          "network_whitelist_device_info of a DSK never reported fails")
    check(wait_for(lambda: log_has(daemon, f"Fail to find whitelist device info with dsk: {DSK_A}"), 10),
          "and tells which DSK it missed")
    check(ask("network_whitelist_device_info", {"dsk": ""}) is None, "an empty DSK is refused")
    for parameter, what in ((({"dsk": "", "granted_keys": 1, "name": "", "location": ""}), "an empty DSK"),
                            ({"dsk": DSK_A, "granted_keys": 256, "name": "", "location": ""}, "keys beyond a byte")):
        check(ask("network_whitelist_add", parameter) is None, f"network_whitelist_add with {what} is refused")

    long_name = "n" * 70
    check(ask("network_whitelist_add", {"dsk": DSK_A, "granted_keys": 0x87, "name": "a b", "location": ""})
          is not None, "a device with a name and no location is added")
    check(ask("network_whitelist_add", {"dsk": DSK_B, "granted_keys": 0x01, "name": long_name,
                                        "location": "hall"}) is not None,
          "a device with a long name and a location is added")
    check(refreshed_list([DSK_A, DSK_B]), f"the list reaches the daemon in the gateway's order ({whitelist()})")
    got = device_info(DSK_A, {"dsk": DSK_A, "granted_keys": 0x87, "name": "a b", "loc": ""})
    check(got is True, f"the first device has its name and keys ({got})")
    got = device_info(DSK_B, {"dsk": DSK_B, "granted_keys": 0x01, "name": long_name[:63], "loc": "hall"})
    check(got is True, f"the long name is cut to 63 characters ({got})")

    check(ask("network_whitelist_remove", {"dsk": DSK_A}) is not None, "one device is removed")
    check(refreshed_list([DSK_B]), f"the other stays ({whitelist()})")
    check(ask("network_whitelist_remove", {"dsk": ""}) is not None, "a remove with an empty DSK")
    check(refreshed_list([]), f"clears the whole list ({whitelist()})")
    net.stop_checks(daemon, "whitelist")
    gateway.stop()
    install.remove()


def main():
    try:
        {"incl": part_incl, "whitelist": part_whitelist, "learn": part_learn}[PART]()
    except Exception:
        # Show what the daemon said last, and stop what runs so that the
        # readers end and the failure is reported at once.
        if RUNNING:
            gateway, daemon = RUNNING
            print("".join(daemon.stdout()[-20:] + daemon.stderr()[-40:]))
            daemon.stop()
            gateway.stop()
        raise
    print(f"{net.checks.failures} failure(s)")
    return 1 if net.checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
