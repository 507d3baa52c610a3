#!/usr/bin/python3
"""The first messages over kestrund's socket, with python3-avro as the peer.

python3-avro loads the project's zwave.avsc, writes the Cookies record, the
message name and the "types" branch of each request, and reads the replies of
the real kestrund, started with a configuration directory that holds the
protocol file.

Usage: dispatch_kestrund_test.py KESTRUND ZWAVE_AVSC
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from core_kestrund import AvroPeer, Checks, Daemon, config_text, exchange, network_request  # noqa: E402

os.environ["KESTRUND"] = sys.argv[1]
AVSC = sys.argv[2]
FIXED_ID = "01-02-03-04-05-06-07-08"
checks = Checks()
check = checks.check
PEER = AvroPeer(AVSC)
payload = PEER.payload
decode = PEER.decode
request_type = PEER.request_type


def summary_checks(daemon):
    reply = decode(exchange(payload("alice", "network_summary_get", request_type("network_summary_get"),
                                    network_request())))
    check(reply is not None and reply[0] == "NetworkSummaryResponse",
          f"network_summary_get answers with its response record ({reply and reply[0]})")
    if reply is None:
        return
    command, summary = reply[1]["command"], reply[1]["parameter"]
    check(command == {"network": {"id": FIXED_ID}, "utime": 0},
          f"the reply's command names the fixed network with utime 0 ({command})")
    check(summary["vendor_name"] == "Tessaly" and summary["product_name"] == "Vantor and Vantor Apps"
          and summary["server_platform"] == "linux", f"with the system's texts ({summary})")
    check(summary["is_initialized"] == 0 and summary["summary_initialized"] is None,
          "is_initialized 0 and the null branch while no network runs")
    check(summary["host_controller_api_version"] == {"major": 7, "minor": 38}, "and the library version 7.38")
    check(daemon.wait_lines(daemon.stdout, "[information] Unable to find '01-02-03-04-05-06-07-08' in the list "
                            "of connected networks\n"), "the missing network is logged at information")


def version_checks():
    reply = decode(exchange(payload(None, "network_version_get", request_type("network_version_get"),
                                    network_request())))
    check(reply is not None and reply[0] == "NetworkVersionResponse"
          and reply[1]["parameter"] == {"server_platform": "linux",
                                        "host_controller_api_version": {"major": 7, "minor": 38}}
          and reply[1]["command"]["utime"] == 0,
          f"network_version_get with a null user answers linux and 7.38 ({reply})")


def fixed_id_checks():
    reply = decode(exchange(payload("bob", "network_version_get", "NetworkRequest",
                                    network_request("AA-BB-CC-DD-EE-FF-00-11"))))
    check(reply is not None and reply[1]["command"]["network"]["id"] == FIXED_ID,
          f"a request naming AA-BB-CC-DD-EE-FF-00-11 is answered for {FIXED_ID} ({reply and reply[1]['command']})")


def refused_checks(daemon):
    node = {"command": {"node": {"network": {"id": FIXED_ID}, "id": 2}}}
    cases = [
        ("node_endpoint_list_get without a network", payload("u", "node_endpoint_list_get", "NodeRequest", node)),
        ("an unknown name", payload("u", "gateway_frobnicate", "NetworkRequest", network_request())),
        ("an ifttt_ name", payload("u", "ifttt_network_x", "NetworkRequest", network_request())),
        ("an ifttt_ root name", payload("u", "ifttt_trigger", "Void", {})),
        ("a known name with a NUL inside", payload("u", "network_version_get\0x", "NetworkRequest",
                                                   network_request())),
        ("a network request without its network record",
         payload("u", "network_version_get", "Network", {"id": FIXED_ID})),
        ("a union index past the last branch", payload("u", "network_version_get", "Void", {})[:-1] + b"\x7e"),
        ("the empty record in place of the request record", payload("bob", "network_summary_get", "Void", {})),
        ("a response record in place of the request record",
         payload("u", "network_version_get", "NetworkVersionResponse",
                 {"command": {"network": {"id": FIXED_ID}, "utime": 0},
                  "parameter": {"server_platform": "linux", "host_controller_api_version": {"major": 7, "minor": 38}}})),
        ("a name with a line end in it", payload("eve\n[error] forged user", "network_version_get\n[error] forged",
                                                 "NetworkRequest", network_request())),
        ("a payload that is not Avro", b"\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"),
        ("an empty payload", b""),
    ]
    for what, data in cases:
        got = exchange(data)
        check(got == b"", f"{what}: closed without a reply ({got!r})")
    check(daemon.wait_lines(daemon.stderr, "[error] Failed to detect the message level for 'gateway_frobnicate'\n"),
          "an unknown prefix is logged")
    check(daemon.wait_lines(daemon.stderr, "[error] Failed to match with supported avro messages at network level "
                            "for 'ifttt_network_x'\n"), "an ifttt_ name fails at the network lookup")
    check(daemon.wait_lines(daemon.stderr, "[error] Failed to get 'command' field within argument of type "
                            "'Network'"), "a branch without command is logged")
    check(daemon.wait_lines(daemon.stderr, "[error] Request of type 'Void' does not match message "
                            "'network_summary_get', which takes 'NetworkRequest'\n"), "a Void request value is refused")
    check(daemon.wait_lines(daemon.stderr, "[error] Request of type 'NetworkVersionResponse' does not match "
                            "message 'network_version_get', which takes 'NetworkRequest'\n"),
          "a response record as request value is refused")
    check(daemon.wait_lines(daemon.stderr, "[error] Failed to match with supported avro messages at network level "
                            "for 'network_version_get\\n[error] forged'\n"),
          "a line end in a message name is logged escaped")
    check(not any(line.startswith("[error] forged") for line in daemon.stderr() + daemon.stdout()),
          "and forges no log line")
    # Still serving after all that.
    reply = decode(exchange(payload("u", "network_version_get", "NetworkRequest", network_request())))
    check(reply is not None, "and the daemon still answers afterwards")


def run():
    daemon = Daemon(config_text(), avsc=AVSC)
    if not check(daemon.wait_ready(), "starts with zwave.avsc in its configuration directory"):
        print("".join(daemon.stderr()), file=sys.stderr)
        daemon.stop()
        return
    try:
        summary_checks(daemon)
        version_checks()
        fixed_id_checks()
        refused_checks(daemon)
    finally:
        rc, _ = daemon.stop()
    check(rc == 0, f"stops with status 0 ({rc})")

    daemon = Daemon(config_text(), avsc=None)
    rc = daemon.finish()
    check(rc == 1 and any("zwave.avsc" in line for line in daemon.stderr()),
          f"without zwave.avsc start-up fails with status 1 ({rc}, {daemon.stderr()})")


run()
sys.exit(1 if checks.failures else 0)
