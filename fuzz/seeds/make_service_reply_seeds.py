#!/usr/bin/python3
# Writes the seed replies of fuzz_service_reply: for each answer record of
# the root, network, node and endpoint commands, one valid reply that the
# target reads into the message's result handler.
#
# An input is: the message's index in the registry's lists (root, networks,
# nodes, endpoints, interfaces, in registration order), a flag byte (2: the
# target puts the message's response branch in front and the length prefix
# around), then the response record. The indices below are those of the
# registry when the seeds were written; as families are added the target
# still reads every seed, and mutation finds the moved messages again.
# Usage: make_service_reply_seeds.py <zwave.avsc> fuzz/seeds/service_reply
import io
import json
import sys

import avro.io
import avro.schema

NAMES = [
    "root_gateway_set", "root_gateway_get", "root_gateway_list",
    "network_exit", "network_info_get", "network_node_list_get", "network_node_endpoint_list_get",
    "network_node_prekit_dsk_get", "network_node_add", "network_node_add_on_behalf",
    "network_node_add_req_key_get", "network_node_add_grant_key_set", "network_node_add_dsk_get",
    "network_node_add_accept", "network_node_remove", "network_failed_node_remove",
    "network_failed_node_replace", "network_failed_node_replace_on_behalf", "network_node_update",
    "network_node_update", "network_send_NIF", "network_send_NIF", "network_update", "network_initiate",
    "network_initiate_local_dsk_get", "network_migrate_primary", "network_reset", "network_operation_abort",
    "network_operation_state_get", "network_whitelist_list_get", "network_whitelist_list_report",
    "network_whitelist_device_info", "network_whitelist_add", "network_whitelist_remove",
    "network_whitelist_remove", "network_summary_get", "network_version_get",
    "node_endpoint_list_get", "node_commandqueue_enable_get", "node_commandqueue_enable_set",
    "node_commandqueue_get", "node_commandqueue_cancel",
    "endpoint_interface_list_get", "endpoint_node_naming_name_location_set",
]

NET = {"network": {"id": "AA-BB"}, "utime": 7}
NODE = {"node": {"network": {"id": "AA-BB"}, "id": 5}}
EP = {"endpoint": {"node": {"network": {"id": "AA-BB"}, "id": 5}, "id": 1}}
V6 = b"\xfd" + b"\0" * 14 + b"\x01"
V4 = b"\xc0\xa8\x01\x14" + b"\0" * 12

SEEDS = {
    "root_gateway_get": {"command": {}, "parameter": {
        "gateway_name": "gw <1>", "gateway_address": V6, "address_type": 0,
        "unsolicited_port_number": 4123, "gateway_status": 1}},
    "root_gateway_list": {"command": {}, "parameter": {
        "discovery_state": 2, "received_reports": 1, "total_reports": 2, "gateway_list": [
            {"gateway_address": V4, "gateway_name": None, "address_type": 1,
             "unsolicited_port_number": 41231, "gateway_flag": 5},
            {"gateway_address": V6, "gateway_name": "zip&gw", "address_type": 0,
             "unsolicited_port_number": 0, "gateway_flag": 2}]}},
    "network_node_prekit_dsk_get": {"command": NET, "parameter": {"dsk": "11111-22222"}},
    "network_node_add_req_key_get": {"command": NET, "parameter": {"req_keys": 135, "req_csa": 1, "csa_pin": "1234"}},
    "network_node_add_dsk_get": {"command": NET, "parameter": {"pin_required": 1, "dsk": "-22222"}},
    "network_initiate_local_dsk_get": {"command": NET, "parameter": {"local_dsk": "11111"}},
    "network_whitelist_list_report": {"command": NET, "parameter": {"whitelist_list": ["d1", "d2"]}},
    "network_whitelist_device_info": {"command": NET, "parameter": {
        "dsk": "d1", "granted_keys": 7, "name": "a b", "loc": "c<d"}},
    "network_reset": {"command": NET},
    "node_endpoint_list_get": {"command": NODE, "parameter": {"endpoint_list": [{
        "id": 1, "generic_device_class": 16, "specific_device_class": 1, "name": "n", "location": "l",
        "zwave_plus_version": 2, "zwave_plus_role_type": 5, "zwave_plus_node_type": 0,
        "zwave_plus_installer_icon_type": 1792, "zwave_plus_user_icon_type": 1792,
        "aggregated_ep_cnt": 1, "aggregated_ep_list": [2]}]}},
    "node_commandqueue_enable_get": {"command": NODE, "parameter": {"state": 1}},
    "node_commandqueue_get": {"command": NODE, "parameter": {"commandqueue_list": [37, 38]}},
    "endpoint_interface_list_get": {"command": EP, "parameter": {"interface_list": [{
        "id": 37, "name": "COMMAND_CLASS_SWITCH_BINARY", "version": 2, "real_version": 2,
        "secure_access": 1, "unsecure_access": 0}]}},
}


def main():
    protocol = json.load(open(sys.argv[1]))
    names = avro.schema.Names()
    types = avro.schema.make_avsc_object(protocol["fields"][0]["type"], names)
    messages = avro.schema.make_avsc_object(protocol["fields"][1]["type"], names)
    by_name = {branch.fullname: branch for branch in types.schemas}
    for name, record in SEEDS.items():
        message = messages.fields_dict[name].type
        response = message.fields_dict["response"].type
        schema = by_name[response.fullname]
        out = io.BytesIO()
        avro.io.DatumWriter(schema).write(record, avro.io.BinaryEncoder(out))
        with open(f"{sys.argv[2]}/{name}.bin", "wb") as seed:
            seed.write(bytes([NAMES.index(name), 2]) + out.getvalue())


main()
