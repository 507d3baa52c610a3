#!/usr/bin/python3
"""kestrund's node, endpoint and root gateway messages over its socket.

Runs in a network namespace of its own (the caller starts it under
`unshare -n`): a veth pair carries the addresses, since discovery probes
only from usable interface addresses. The simulator plays gateway A at
10.77.0.1 (found by discovery through the probe responder) and, for the
gateway part, gateway B at 10.77.1.1, which discovery does not see.

Usage: node_kestrund_test.py KESTRUND ZIPGW_SIM ZWAVE_AVSC PART
PART: nodes, gateway
"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from core_kestrund import (AvroPeer, Checks, NetInstall, SimGateway, exchange, network_request,  # noqa: E402
                           stop_checks as daemon_stop_checks, veth_setup)

KESTRUND, SIM, AVSC, PART = sys.argv[1:5]
os.environ["KESTRUND"] = KESTRUND
GATEWAY_A = "10.77.0.1"
GATEWAY_B = "10.77.1.1"
FIXED_ID = "01-02-03-04-05-06-07-08"
checks = Checks()
check = checks.check
PEER = AvroPeer(AVSC)


def Gateway(address, profiles=(), discoverable=True):
    return SimGateway(SIM, address, profiles, discoverable=discoverable)


def Install(stored):
    return NetInstall(AVSC, "kestrund_node_", stored)


def send(name, value, timeout=10):
    """(reply branch, value), or None when the daemon closed without a reply."""
    return PEER.decode(exchange(PEER.payload("test", name, PEER.request_type(name), value), timeout=timeout))


def ask(name, value=None, timeout=10):
    reply = send(name, value if value is not None else {"command": {}}, timeout)
    return reply[1] if reply else None


def node_command(node_id):
    return {"node": {"network": {"id": FIXED_ID}, "id": node_id}}


def ep_command(node_id, ep_id):
    return {"endpoint": {"node": node_command(node_id)["node"], "id": ep_id}}


def node_ask(name, node_id, parameter=None):
    value = {"command": node_command(node_id)}
    if parameter is not None:
        value["parameter"] = parameter
    return ask(name, value)


def ep_ask(name, node_id, ep_id, parameter=None):
    value = {"command": ep_command(node_id, ep_id)}
    if parameter is not None:
        value["parameter"] = parameter
    return ask(name, value)


def summary():
    try:
        reply = ask("network_summary_get", network_request())
    except OSError:
        return None
    return reply["parameter"] if reply else None


def wait_gateway(daemon, address, timeout=90.0):
    """True once the network runs initialised on the gateway at `address`."""
    want = bytes(int(part) for part in address.split(".")) + bytes(12)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and daemon.proc.poll() is None:
        s = summary()
        if s and s["is_initialized"] == 1 and s["summary_initialized"]["gateway_address"] == want:
            return True
        time.sleep(0.2)
    return False


def stop_checks(daemon, what):
    daemon_stop_checks(check, daemon, what)


def ipv4(address):
    return bytes(int(part) for part in address.split(".")) + bytes(12)


# ---------------------------------------------------------------------------
# Node and endpoint messages
# ---------------------------------------------------------------------------

# 2 switch, 3 sleeping sensor, 4 basic (the demo set); 6 has two switch
# endpoints and one aggregating them.
NODE_PROFILES = ["demo", "6=multi_channel"]
NODE_HOSTS = [1, 2, 3, 4, 6]


def endpoint_list_checks():
    eps = node_ask("node_endpoint_list_get", 6)
    eps = eps["parameter"]["endpoint_list"] if eps else []
    ids = [ep["id"] for ep in eps]
    check(ids[:1] == [0] and len(ids) >= 4, f"the multi-channel node lists its root and its endpoints ({ids})")
    aggregated = [ep for ep in eps if ep["aggregated_ep_cnt"] > 0]
    check(len(aggregated) == 1 and aggregated[0]["aggregated_ep_list"] == [1, 2]
          and aggregated[0]["aggregated_ep_cnt"] == 2,
          f"one endpoint aggregates the two switch endpoints ({aggregated})")
    plain = node_ask("node_endpoint_list_get", 2)
    plain = plain["parameter"]["endpoint_list"] if plain else []
    check(len(plain) == 1 and plain[0]["aggregated_ep_cnt"] == 0 and plain[0]["aggregated_ep_list"] == [],
          f"an endpoint without members answers count 0 and an empty list ({plain})")

    ifs = ep_ask("endpoint_interface_list_get", 2, 0)
    ifs = {intf["id"]: intf for intf in (ifs["parameter"]["interface_list"] if ifs else [])}
    switch = ifs.get(0x25)
    check(switch is not None and switch["name"] == "COMMAND_CLASS_SWITCH_BINARY" and switch["version"] >= 1
          and (switch["secure_access"], switch["unsecure_access"]) == (0, 1),
          f"the switch endpoint lists Binary Switch, reached without security ({switch})")


def refused_ids_checks():
    # Ids are never narrowed: 258 and -254 are not node 2, 256 not endpoint 0.
    for name, value in (("node 258", {"command": node_command(258)}),
                        ("node -254", {"command": node_command(-254)}),
                        ("node 0", {"command": node_command(0)})):
        check(send("node_endpoint_list_get", value) is None, f"{name} is refused without a reply")
    check(send("endpoint_interface_list_get", {"command": ep_command(2, 256)}) is None,
          "endpoint 256 is refused without a reply")
    check(node_ask("node_endpoint_list_get", 2) is not None, "and node 2 itself still answers")


def naming_checks():
    cases = [
        # name and location sent, what the endpoint keeps
        ("a" * 40, "Kitchen", "a" * 32, "Kitchen"),
        ("b" * 31 + "\u00e9", "L" * 30 + "\u20ac", "b" * 31, "L" * 30),  # no half sequence is kept
        ("Lamp \u00e9\u00e8", "", "Lamp \u00e9\u00e8", ""),
    ]
    for sent_name, sent_loc, name, loc in cases:
        reply = send("endpoint_node_naming_name_location_set",
                     {"command": ep_command(2, 0), "parameter": {"name": sent_name, "location": sent_loc}})
        check(reply is not None and reply[0] == "EndpointResponse", f"naming {sent_name!r} answers ({reply})")
        eps = node_ask("node_endpoint_list_get", 2)
        ep = eps["parameter"]["endpoint_list"][0] if eps else {}
        check((ep.get("name"), ep.get("location")) == (name, loc),
              f"the endpoint keeps {name!r} / {loc!r} ({ep.get('name')!r} / {ep.get('location')!r})")


def command_queue_checks():
    state = node_ask("node_commandqueue_enable_get", 3)
    check(state is not None and state["parameter"]["state"] in (0, 1), f"the sleeping node's queue state ({state})")
    for wanted, answered in ((2, 2), (0, 0), (1, 1)):
        reply = node_ask("node_commandqueue_enable_set", 3, {"state": wanted})
        check(reply is not None and reply["parameter"]["state"] == answered,
              f"enable_set {wanted} answers state {answered} ({reply})")
        reply = node_ask("node_commandqueue_enable_get", 3)
        check(reply is not None and reply["parameter"]["state"] == (1 if wanted else 0),
              f"and the get then answers {1 if wanted else 0} ({reply})")
    for wanted in (256, -1):
        check(send("node_commandqueue_enable_set", {"command": node_command(3), "parameter": {"state": wanted}})
              is None, f"enable_set {wanted} is refused")
    check(send("node_commandqueue_enable_set", {"command": node_command(2), "parameter": {"state": 1}}) is None,
          "a node that cannot sleep has no queue to enable")
    # A set for the sleeping node waits in its queue until it wakes.
    basic_set = {"command": {"interface": {"endpoint": ep_command(3, 0)["endpoint"], "id": 0x20}, "passive": False},
                 "parameter": {"value": 99}}
    check(send("interface_basic_set", basic_set) is not None, "a Basic Set for the sleeping node is accepted")
    queue = node_ask("node_commandqueue_get", 3)
    check(queue is not None and queue["parameter"]["commandqueue_list"] == [0x20],
          f"the queue lists the waiting command ({queue and queue['parameter']})")
    reply = send("node_commandqueue_cancel", {"command": node_command(3)})
    check(reply is not None and reply[0] == "NodeResponse", f"cancel answers with the node record ({reply})")
    queue = node_ask("node_commandqueue_get", 3)
    check(queue is not None and queue["parameter"]["commandqueue_list"] == [], f"and leaves it empty ({queue})")


def part_nodes():
    veth_setup([f"10.77.0.{host}/24" for host in NODE_HOSTS])
    gateway = Gateway(GATEWAY_A, NODE_PROFILES)
    install = Install(f"{GATEWAY_A}|41231\n")
    daemon = install.daemon()
    if check(wait_gateway(daemon, GATEWAY_A), "the network initialises"):
        endpoint_list_checks()
        refused_ids_checks()
        naming_checks()
        command_queue_checks()
    stop_checks(daemon, "nodes")
    gateway.stop()
    install.remove()


# ---------------------------------------------------------------------------
# Root gateway messages
# ---------------------------------------------------------------------------

def gateway_set(address, port=41231, key=None, address_type=1, raw_address=None):
    value = {"command": {}, "parameter": {"gateway_address": raw_address or ipv4(address),
                                          "address_type": address_type, "unsolicited_port_number": port,
                                          "preshared_key": key}}
    return send("root_gateway_set", value, timeout=60)


def gateway_list(flag=0):
    reply = ask("root_gateway_list", {"command": {}, "parameter": {"discovery_flag": flag}})
    return reply["parameter"] if reply else None


def listed(report, address):
    return [gw for gw in report["gateway_list"] if gw["gateway_address"] == ipv4(address)]


def wait_discovered(address, timeout=120.0):
    """The list once a discovery has ended with `address` in it."""
    deadline = time.monotonic() + timeout
    report = None
    while time.monotonic() < deadline:
        report = gateway_list(0)
        if report and report["discovery_state"] == 0 and listed(report, address):
            return report
        time.sleep(0.3)
    return report


def part_gateway():
    veth_setup(["10.77.0.1/24", "10.77.1.1/24"])
    gateway_a = Gateway(GATEWAY_A)
    gateway_b = Gateway(GATEWAY_B, discoverable=False)
    install = Install(f"{GATEWAY_A}|41231\n{GATEWAY_B}|5000\n")
    daemon = install.daemon()
    if not check(wait_gateway(daemon, GATEWAY_A), "the network initialises on the stored gateway A"):
        stop_checks(daemon, "gateway")
        return

    got = ask("root_gateway_get")
    check(got is not None and got["parameter"] == {"gateway_name": None, "gateway_address": ipv4(GATEWAY_A),
                                                   "address_type": 1, "unsolicited_port_number": 41231,
                                                   "gateway_status": 1},
          f"root_gateway_get names gateway A in use ({got and got['parameter']})")

    # Discovery runs on its own thread: the first answer cannot show it yet.
    first = gateway_list(1)
    check(first is not None and first["discovery_state"] != 0,
          f"root_gateway_list starts a discovery and answers at once, showing it running ({first})")
    again = gateway_list(1)
    check(again is not None, "a second start while one runs answers too")
    report = wait_discovered(GATEWAY_A)
    if check(report is not None and listed(report, GATEWAY_A), f"discovery finds gateway A ({report})"):
        check(0 < report["received_reports"] == report["total_reports"],
              f"with the report counters of its last pass ({report['received_reports']}/{report['total_reports']})")
        a = listed(report, GATEWAY_A)
        check(len(a) == 1 and a[0]["gateway_flag"] == 3 and a[0]["unsolicited_port_number"] == 41231
              and a[0]["address_type"] == 1,
              f"A is listed once, as discovered and in use ({a})")
        b = listed(report, GATEWAY_B)
        check(len(b) == 1 and b[0]["gateway_flag"] == 4 and b[0]["unsolicited_port_number"] == 5000
              and b[0]["gateway_name"] is None,
              f"the stored gateway B is listed as stored, with its port ({b})")
    starts = sum("ANetDiscoveryStartHdlr"[:15] in name for _, name in daemon.threads())
    check(starts == 0, f"the discovery thread has ended ({starts})")

    # Refused without touching the running network.
    refused = [
        ("a key of 66 digits", dict(key="ab" * 33)),
        ("a key of odd length", dict(key="abc")),
        ("a key that is not hexadecimal", dict(key="zz" * 8)),
        ("port 70000", dict(port=70000)),
        ("port -1", dict(port=-1)),
        ("address type 2", dict(address_type=2)),
    ]
    for what, args in refused:
        check(gateway_set(GATEWAY_B, **args) is None, f"root_gateway_set with {what} is refused")
    s = summary()
    check(s is not None and s["is_initialized"] == 1 and s["summary_initialized"]["gateway_address"] == ipv4(GATEWAY_A),
          "and the network still runs on gateway A")
    check(install.stored() == f"{GATEWAY_A}|41231\n{GATEWAY_B}|5000\n", "and the stored file is unchanged")

    reply = gateway_set(GATEWAY_B)
    check(reply is not None and reply[0] == "RootResponse", f"root_gateway_set to B answers ({reply})")
    check(wait_gateway(daemon, GATEWAY_B), "the network moves to gateway B")
    check(install.stored() == f"{GATEWAY_B}|41231\n{GATEWAY_A}|41231\n",
          f"zip_server.txt names B first, A after it, B once ({install.stored()!r})")
    report = gateway_list(0)
    if check(report is not None, "the list answers after the move"):
        a = listed(report, GATEWAY_A)
        b = listed(report, GATEWAY_B)
        check([gw["gateway_flag"] for gw in a] == [2], f"A is now only discovered ({a})")
        check([(gw["gateway_flag"], gw["unsolicited_port_number"]) for gw in b] == [(5, 41231)],
              f"B is stored and in use ({b})")

    # A key is stored with the gateway in use, and never logged.
    key = "00112233445566778899aabbccddeeff"
    reply = gateway_set(GATEWAY_A, port=4444, key=key)
    check(reply is not None, f"root_gateway_set with a 16-byte key answers ({reply})")
    check(install.stored() == f"{GATEWAY_A}|4444|{key}\n{GATEWAY_B}|41231\n",
          f"the key is stored with the gateway in use only ({install.stored()!r})")
    check(not any(key in line for line in daemon.stdout() + daemon.stderr()), "the key reaches no log line")
    # The simulator speaks no DTLS: the network on A does not initialise, and
    # nothing is shown in use meanwhile.
    report = gateway_list(0)
    check(report is not None and report["gateway_list"] and not any(gw["gateway_flag"] & 1
                                                                     for gw in report["gateway_list"]),
          f"before the network is initialised no gateway is in use ({report})")
    got = ask("root_gateway_get")
    check(got is not None and got["parameter"]["gateway_status"] == 0
          and got["parameter"]["unsolicited_port_number"] == 4444, f"and the get shows status 0 ({got})")
    # A discovery that runs when the daemon is told to end is stopped.
    check(gateway_list(1) is not None, "a last discovery starts")
    stop_checks(daemon, "gateway")
    gateway_a.stop()
    gateway_b.stop()
    install.remove()


def main():
    {"nodes": part_nodes, "gateway": part_gateway}[PART]()
    print(f"{checks.failures} failure(s)")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
