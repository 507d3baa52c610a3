#!/usr/bin/python3
"""kestrund starts its network against the gateway simulator.

Runs in a network namespace of its own (the caller starts it under
`unshare -n`): a veth pair carries the addresses, so that discovery, which
probes only from usable interface addresses, finds the simulated gateway.
The simulator plays the gateway at 10.77.0.1; a small responder answers the
discovery probe for it. python3-avro talks to the daemon's socket.

Usage: net_kestrund_test.py KESTRUND ZIPGW_SIM ZWAVE_AVSC PART
PART: stored, discover, stop, nodes, restart
"""
import os
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from core_kestrund import (AvroPeer, Checks, NetInstall, SimGateway, exchange, network_request,  # noqa: E402
                           stop_checks as daemon_stop_checks, veth_setup)

KESTRUND, SIM, AVSC, PART = sys.argv[1:5]
os.environ["KESTRUND"] = KESTRUND
GATEWAY = "10.77.0.1"
FIXED_ID = "01-02-03-04-05-06-07-08"
SIM_HOME_ID = 0xC0FFEE01
SKIP = 77
checks = Checks()
check = checks.check
PEER = AvroPeer(AVSC)
# Thread names keep 15 characters.
STATUS_THREAD = "ANetOpStatusHdlr"[:15]


def net_setup(hosts):
    veth_setup([f"10.77.0.{host}/24" for host in hosts])


def Gateway(profiles=(), extra_args=()):
    """The simulator at GATEWAY and the discovery responder."""
    return SimGateway(SIM, GATEWAY, profiles, extra_args)


def Install(stored=None):
    return NetInstall(AVSC, "kestrund_net_", stored)


def ask(name):
    reply = PEER.decode(exchange(PEER.payload("test", name, "NetworkRequest", network_request()), timeout=10))
    return reply[1] if reply else None


def wait_initialised(daemon, timeout=60.0):
    """The summary once the network is initialised; None when it is not in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and daemon.proc.poll() is None:
        try:
            reply = ask("network_summary_get")
        except OSError:
            reply = None
        if reply and reply["parameter"]["is_initialized"] == 1:
            return reply
        time.sleep(0.2)
    return None


def started_checks(daemon, summary):
    initialized = summary["parameter"]["summary_initialized"]
    check(initialized["network_id"] == FIXED_ID and initialized["address_type"] == 1,
          f"the summary names the network and an IPv4 gateway ({initialized})")
    check(initialized["gateway_address"] == bytes([10, 77, 0, 1]) + bytes(12),
          "the gateway address stands in the first 4 bytes, the rest 0")
    names = [name for _, name in daemon.threads()]
    check(names.count(STATUS_THREAD) == 1, "the operation-status thread carries its name")
    check("HCAPINet" in names, "the library's threads carry the name set around its start")
    check("ANetStartHdlr" not in names, "the start thread has ended")
    state = ask("network_operation_state_get")
    check(state and state["parameter"] == {"current_operation": 0, "current_operation_status": 0,
                                           "current_operation_total_nodes": 0,
                                           "current_operation_completed_nodes": 0, "previous_operation": 1},
          f"no operation runs after initialise ({state and state['parameter']})")
    info = ask("network_info_get")
    check(info is not None and info["parameter"]["utime"] == info["command"]["utime"] > 0,
          f"network_info_get answers with the tree's change time ({info})")
    for name, field in (("network_node_list_get", "node_list"),
                        ("network_node_endpoint_list_get", "node_endpoint_list")):
        reply = ask(name)
        check(reply is not None and isinstance(reply["parameter"][field], list), f"{name} answers a list")


def stop_checks(daemon, what):
    daemon_stop_checks(check, daemon, what)


def part_stored():
    net_setup([1])
    gateway = Gateway()
    install = Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{GATEWAY}|41231\n")
    daemon = install.daemon()
    summary = wait_initialised(daemon)
    if check(summary is not None, "with zip_server.txt naming the simulator the network initialises"):
        started_checks(daemon, summary)
    check(daemon.wait_lines(daemon.stdout, "[information] Found cached gateway entry through discovery ip v4.\n"),
          "the stored gateway was confirmed by discovery")

    # network_exit stops and frees the network; the daemon runs on without.
    reply = PEER.decode(exchange(PEER.payload("test", "network_exit", "NetworkRequest", network_request()),
                                 timeout=30))
    check(reply is not None and reply[0] == "Void", f"network_exit answers with the empty record ({reply})")
    summary = ask("network_summary_get")
    check(summary is not None and summary["parameter"]["is_initialized"] == 0
          and summary["parameter"]["summary_initialized"] is None, "the summary then shows no network")
    check(ask("network_operation_state_get") is None, "and network requests are refused")
    check(not any(name == STATUS_THREAD for _, name in daemon.threads()), "the status thread has ended")
    stop_checks(daemon, "stored")
    gateway.stop()
    install.remove()


def part_discover():
    net_setup([1])
    gateway = Gateway()
    install = Install()
    # A file whose first line is no gateway is as good as none; it is kept
    # aside before the daemon writes its own.
    unreadable = "the-gateway|41231|00112233445566778899aabbccddeeff\n10.0.0.9|5\n"
    with open(install.zip_server, "w") as out:
        out.write(unreadable)
    daemon = install.daemon()
    summary = wait_initialised(daemon)
    check(summary is not None, "without a usable zip_server.txt discovery finds the simulator and the network "
          "initialises")
    stop_checks(daemon, "discovered")
    with open(install.zip_server) as written:
        text = written.read()
    check(text == f"{GATEWAY}|41231\n", f"the daemon stored the gateway it found ({text!r})")
    with open(install.zip_server + ".bad") as kept:
        check(kept.read() == unreadable, "and kept the unreadable file aside")
    check(not any("00112233445566778899aabbccddeeff" in line for line in daemon.stdout() + daemon.stderr()),
          "no key reaches the log")

    daemon = install.daemon()
    summary = wait_initialised(daemon)
    check(summary is not None, "a restart initialises again")
    check(daemon.wait_lines(daemon.stdout, "[information] Found cached gateway entry through discovery ip v4.\n")
          and not any("zwave_client: Starting discovery\n" in line for line in daemon.stdout()),
          "and uses the stored gateway")
    stop_checks(daemon, "restarted")
    gateway.stop()
    install.remove()


def part_stop():
    net_setup([1])
    gateway = Gateway()
    install = Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{GATEWAY}|41231\n")
    # SIGTERM while the network starts: start-up ends first, then the stop
    # finds the network initialising or just initialised.
    for round in range(3):
        daemon = install.daemon()
        daemon.wait_lines(daemon.stdout, "[information] zwnet_init() Intialization paramters\n", timeout=60)
        stop_checks(daemon, f"stopped while starting ({round})")
    # SIGTERM with workers waiting for the descriptor lock.
    daemon = install.daemon()
    check(wait_initialised(daemon) is not None, "initialises")
    results = []

    def hammer():
        for _ in range(20):
            try:
                results.append(ask("network_node_list_get"))
            except OSError:
                results.append("refused")

    workers = [threading.Thread(target=hammer) for _ in range(8)]
    for worker in workers:
        worker.start()
    time.sleep(0.2)
    stop_checks(daemon, "stopped with workers")
    for worker in workers:
        worker.join()
    check(len(results) == 160, "every request was answered or refused")
    gateway.stop()
    install.remove()


# The simulator's profiles: the demo set (a switch, a sleeping sensor, a
# basic node) and a node that tells its class versions and identity, which
# the interview asks it for. Node id and its endpoints.
SIM_PROFILES = ["demo", "5=plus_switch"]
PROFILES = {2: [0], 3: [0], 4: [0], 5: [0]}
NODE_HOSTS = [1] + list(PROFILES)


def profile_checks(daemon):
    summary = wait_initialised(daemon)
    if not check(summary is not None, "the network of the demo profiles initialises"):
        return
    initialized = summary["parameter"]["summary_initialized"]
    check(initialized["home_id"] == SIM_HOME_ID, f"with the simulator's home id ({initialized['home_id']:#x})")
    nodes = {node["id"]: node for node in ask("network_node_list_get")["parameter"]["node_list"]}
    check(set(PROFILES) <= set(nodes), f"the node list holds every simulated node ({sorted(nodes)})")
    endpoints = {(ep["node"]["id"], ep["id"]) for ep in ask("network_node_endpoint_list_get")["parameter"]
                 ["node_endpoint_list"]}
    for node_id, eps in PROFILES.items():
        check({(node_id, ep) for ep in eps} <= endpoints, f"node {node_id} has its endpoints {eps}")
    check(nodes.get(3, {}).get("sleep_capable") == 1, "the sensor sleeps")


def part_nodes():
    net_setup(NODE_HOSTS)
    gateway = Gateway(SIM_PROFILES)
    install = Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{GATEWAY}|41231\n")
    daemon = install.daemon()
    profile_checks(daemon)
    stop_checks(daemon, "nodes")
    gateway.stop()
    install.remove()


def interview_queries(lines):
    """Frames of the node interview that reached a node's own address."""
    return [line for line in lines if " rx " in line and any(f"10.77.0.{host}:" in line for host in PROFILES)
            and any(query in line.upper() for query in ("86 13", "86 11", "72 04"))]


def part_restart():
    net_setup(NODE_HOSTS)
    gateway = Gateway(SIM_PROFILES)
    install = Install()
    with open(install.zip_server, "w") as out:
        out.write(f"{GATEWAY}|41231\n")
    daemon = install.daemon()
    profile_checks(daemon)
    stop_checks(daemon, "first run")
    saved = [name for name in os.listdir(install.networks) if name.startswith("nif") and name.endswith(".dat")]
    check(saved == [f"nif{SIM_HOME_ID:08X}.dat"], f"the stop saved the node-information file ({saved})")
    first = interview_queries(gateway.lines)
    check(first != [], "the first run interviewed the nodes at their own addresses")
    before = len(gateway.lines)
    daemon = install.daemon()
    profile_checks(daemon)
    again = interview_queries(gateway.lines[before:])
    check(again == [], f"a restart does not interview the nodes it knows ({again[:3]})")
    stop_checks(daemon, "restarted")
    gateway.stop()
    install.remove()


def main():
    part = {"stored": part_stored, "discover": part_discover, "stop": part_stop,
            "nodes": part_nodes, "restart": part_restart}[PART]
    result = part()
    if result == SKIP:
        return SKIP
    print(f"{checks.failures} failure(s)")
    return 1 if checks.failures else 0


if __name__ == "__main__":
    sys.exit(main())
