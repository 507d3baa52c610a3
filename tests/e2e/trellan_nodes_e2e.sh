#!/usr/bin/env bash
# curl -> nginx -> trellan -> kestrund -> gateway simulators: the node list,
# a node's endpoints and an endpoint's interfaces and name, then the gateway
# list that discovery fills and the switch to a second gateway, as a browser
# asks for them. Every XML answer must pass xmllint.
# Usage: trellan_nodes_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
. "$src/tests/e2e/sim_net.sh"
# A network namespace of our own: the socket name and the gateway addresses
# are fixed, and discovery does not probe from 127.0.0.1.
web_netns_enter required "$0" "$@"
second=10.77.1.1
sim_net_setup "$second/24"
gateway=$sim_gateway
work=$(mktemp -d "$build/e2e-nodes.XXXXXX")
second_pid=
trap 'stop_pid "$second_pid"; web_test_cleanup "$work"' EXIT

sim_start "$work" "$build/sim/zipgw-sim" "$src" --profile demo
"$build/sim/zipgw-sim" --address "$second" > "$work/sim2.log" 2>&1 < /dev/null &
second_pid=$!
web_system_start "$src" "$build" "$work" "$gateway"
zip_server=$work/kestrund/var/networks/zip_server.txt

net=/zwave/networks/01-02-03-04-05-06-07-08
cookie=(-b "PHPSESSID=$session")
epd=258          # endpoint 0 (byte 1) of node 2
switch_ifd=2425090 # class 0x25 on that endpoint

ok_if poll_until 60 info "$net/zw_info" ' init="1"' "${cookie[@]}"
check "the network initialises" "$(result)"

web_get nodes "$net/zwnet_get_node_list" "${cookie[@]}"
check "the node list names its network" "$(has "$body" '<zwnet [^>]*id="01-02-03-04-05-06-07-08"')"
check "the node list holds the switch" "$(has "$body" '<zwnode [^>]*id="2"')"
check "node list: well-formed" "$(xml_ok "$body")"

web_get eps "$net/zwnode_get_ep_list" "${cookie[@]}" --data-binary "noded=2"
check "the switch's endpoint, in both forms" \
  "$(has "$body" "<node desc=\"2\" deprecated=\"1\"><ep desc=\"$epd\" id=\"0\" generic=\"16\" .*</node><zwnode desc=\"2\"><zwep desc=\"$epd\" id=\"0\"")"
check "endpoint list: well-formed" "$(xml_ok "$body")"

web_get ifs "$net/zwep_get_if_list" "${cookie[@]}" --data-binary "epd=$epd"
check "the endpoint's interfaces hold Binary Switch" \
  "$(has "$body" "<zwif desc=\"$switch_ifd\" id=\"37\" name=\"COMMAND_CLASS_SWITCH_BINARY\" ver=\"[0-9]+\" real_ver=\"[0-9]+\" sec=\"0\" unsec=\"1\" />")"
check "interface list: well-formed" "$(xml_ok "$body")"

# Markup characters in a name travel percent-encoded and come back so.
web_get naming "$net/zwep_nameloc" "${cookie[@]}" --data-binary "cmd=1&epd=$epd&name=%3Cb%3E%26%22x&loc=Hall%20%C3%A9"
check "naming answers without an error ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
web_get eps_named "$net/zwnode_get_ep_list" "${cookie[@]}" --data-binary "noded=2"
check "the endpoint shows its new name and location" \
  "$(has "$body" 'name="&lt;b&gt;%26%22x" loc="Hall%20é"')"
check "named endpoint list: well-formed" "$(xml_ok "$body")"

web_get bad_node "$net/zwnode_get_ep_list" "${cookie[@]}" --data-binary "noded=258"
check "node 258 is not node 2: the error document" "$(has "$body" '<error')"
check "error document: well-formed" "$(xml_ok "$body")"

# Discovery runs on the daemon's own thread; the list is asked again until
# it has ended.
web_get gw_list_start "$net/zw_gw_list" "${cookie[@]}" --data-binary "discvr=1"
check "zw_gw_list starts a discovery" "$(has "$body" '<gw_discvr_status state="[1-4]"')"
check "gateway list: well-formed" "$(xml_ok "$body")"
ok_if poll_until 120 gw_list "$net/zw_gw_list" "<gw_discvr_status state=\"0\" .*<gw name=\"\" addr=\"$gateway\"  unsol_rpt_port=\"41231\" flag=\"3\" />" \
  "${cookie[@]}" --data-binary "discvr=0"
check "the simulator found by discovery is listed in use" "$(result)"
check "finished gateway list: well-formed" "$(xml_ok "$body")"

web_get gw_bad_key "$net/zw_gw_set" "${cookie[@]}" --data-binary "zip_gw_name=$second&unsol_rpt_port=41231&key=abc"
check "a key of odd length is refused" "$(has "$body" '<error')"
web_get gw_bad_port "$net/zw_gw_set" "${cookie[@]}" --data-binary "zip_gw_name=$second&unsol_rpt_port=70000"
check "port 70000 is refused" "$(has "$body" '<error')"
check "and the stored gateway is unchanged" "$([ "$(cat "$zip_server")" = "$gateway|41231" ] && echo ok)"

web_get gw_set "$net/zw_gw_set" "${cookie[@]}" --data-binary "zip_gw_name=$second&unsol_rpt_port=41231"
check "zw_gw_set to the second gateway answers ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
ok_if poll_until 90 gw_get "$net/zw_gw_get" "<gw_status status=\"1\" name=\"\" addr=\"$second\" unsol_rpt_port=\"41231\" />" \
  "${cookie[@]}"
check "the network runs on the second gateway" "$(result)"
check "gateway get: well-formed" "$(xml_ok "$body")"
check "zip_server.txt names the second gateway first" \
  "$([ "$(cat "$zip_server")" = "$second|41231"$'\n'"$gateway|41231" ] && echo ok || { cat "$zip_server" >&2; echo bad; })"

web_test_finish "$work"
