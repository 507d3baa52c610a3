#!/usr/bin/env bash
# curl -> nginx -> trellan -> kestrund -> gateway simulator: a Security 2
# inclusion driven step by step as the web interface drives it (add, the
# requested keys, the key grant, the DSK, the accept), the node in the node
# list, its exclusion, and the Smart Start whitelist. Every XML answer must
# pass xmllint, and every network-level answer with a result carries the
# older form before the current one.
# Usage: trellan_ops_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
. "$src/tests/e2e/sim_net.sh"
# A network namespace of our own: the socket name and the gateway address
# are fixed, and discovery needs an interface address of its own.
web_netns_enter required "$0" "$@"
joining=7
sim_net_setup "10.77.0.$joining/24"
gateway=$sim_gateway
work=$(mktemp -d "$build/e2e-ops.XXXXXX")
trap 'web_test_cleanup "$work"' EXIT

# Every answer with a body must be well-formed.
answers=0
bad_answers=
ask() { # name path curl args...
  web_get "$@"
  if [ -n "$body" ]; then
    answers=$((answers + 1))
    [ "$(xml_ok "$body")" = ok ] || bad_answers="$bad_answers $1"
  fi
}
poll_ask=ask

sim_start "$work" "$build/sim/zipgw-sim" "$src" --profile demo --profile "$joining=switch" --joining "$joining"
web_system_start "$src" "$build" "$work" "$gateway"

net=/zwave/networks/01-02-03-04-05-06-07-08
cookie=(-b "PHPSESSID=$session")
doc='<\?xml version="1\.0"\?><zwave>'
# The simulator's DSK of the joining node.
node_dsk=04386-13124-21862-30600-39338-48076-56814-61441
node_in_list="<zwnode desc=\"$joining\" id=\"$joining\" "
op_state() { # op status prev: the older form, then the current one in its network element
  echo "$doc<curr_op op=\"$1\" op_sts=\"$2\" op_total_nodes=\"0\" op_cmplt_nodes=\"0\" prev_op=\"$3\" deprecated=\"1\" /><zwnet [^>]*><operation op=\"$1\" op_sts=\"$2\" op_total_nodes=\"0\" op_cmplt_nodes=\"0\" prev_op=\"$3\" /></zwnet></zwave>"
}

ok_if poll_until 60 info "$net/zw_info" ' init="1"' "${cookie[@]}"
check "the network initialises" "$(result)"

ask nodes "$net/zwnet_get_node_list" "${cookie[@]}"
check "the node list: both forms, node $joining not yet in it" \
  "$(printf '%s' "$body" | grep -q '<node desc="2" id="2" .*<zwnet [^>]*>.*<zwnode desc="2" id="2" ' &&
     ! printf '%s' "$body" | grep -q "$node_in_list" && echo ok || echo bad)"

# Inclusion, step by step.
ask add "$net/zwnet_add" "${cookie[@]}" --data-binary "cmd=2"
check "add: accepted ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
ok_if poll_until 60 op_keys "$net/zwnet_get_operation" 'op_sts="11"' "${cookie[@]}"
check "the add waits for the keys" "$(result)"
check "operation state: older then current form" "$(matches "$body" "$(op_state 2 11 0)")"
ask dsk_early "$net/zwnet_add_s2_get_dsk" "${cookie[@]}"
check "the DSK is not there while the keys are asked" "$(matches "$body" "$doc<error>.*</error></zwave>")"
ask keys "$net/zwnet_add_s2_get_req_keys" "${cookie[@]}"
check "requested keys: both forms, with the CSA PIN field" \
  "$(matches "$body" "$doc<security req_key=\"135\" csa_pin=\"[0-9-]*\" /><zwnet [^>]*><security req_key=\"135\" csa_pin=\"[0-9-]*\" /></zwnet></zwave>")"
ask grant "$net/zwnet_add_s2_set_grant_keys" "${cookie[@]}" --data-binary "granted_keys=135&grant_csa=0"
check "grant keys: accepted ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
ok_if poll_until 60 op_dsk "$net/zwnet_get_operation" 'op_sts="12"' "${cookie[@]}"
check "the add then waits for the DSK" "$(result)"
ask dsk "$net/zwnet_add_s2_get_dsk" "${cookie[@]}"
check "DSK: both forms" \
  "$(matches "$body" "$doc<security pin_required=\"0\" dsk=\"$node_dsk\" /><zwnet [^>]*><security pin_required=\"0\" dsk=\"$node_dsk\" /></zwnet></zwave>")"
ask accept "$net/zwnet_add_s2_accept" "${cookie[@]}" --data-binary "accept=1&value=$node_dsk"
check "accept: accepted ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
ok_if poll_until 90 op_done "$net/zwnet_get_operation" 'op="0" op_sts="0" [^>]*prev_op="2"' "${cookie[@]}"
check "the add completes" "$(result)"
ok_if poll_until 60 nodes_added "$net/zwnet_get_node_list" "$node_in_list" "${cookie[@]}"
check "node $joining is in the node list" "$(result)"
check "and in the older form too" \
  "$(printf '%s' "$body" | grep -q "<node desc=\"$joining\" id=\"$joining\" " && echo ok || echo bad)"

# Exclusion.
ask remove "$net/zwnet_add" "${cookie[@]}" --data-binary "cmd=3"
check "remove: accepted ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
ok_if poll_until 90 op_removed "$net/zwnet_get_operation" 'op="0" op_sts="0" [^>]*prev_op="3"' "${cookie[@]}"
check "the remove completes" "$(result)"
ask nodes_after "$net/zwnet_get_node_list" "${cookie[@]}"
check "node $joining has left the node list" \
  "$(! printf '%s' "$body" | grep -q "$node_in_list" && printf '%s' "$body" | grep -q '<zwnode desc="2" ' && echo ok || echo bad)"

# The Smart Start whitelist.
wl_dsk=11111-22222-33333-44444-55555-00001-00002-00003
ask wl_add "$net/zwnet_whitelist_add" "${cookie[@]}" --data-binary "dsk=$wl_dsk&granted_keys=135&name=a%20b&loc=hall"
check "whitelist add: accepted ($code)" "$([ "$code" = 200 ] && ! printf '%s' "$body" | grep -q '<error' && echo ok)"
listed=bad
for _ in $(seq 60); do
  ask wl_get "$net/zwnet_whitelist_list_get" "${cookie[@]}"
  ask wl_report "$net/zwnet_whitelist_list_report" "${cookie[@]}"
  if printf '%s' "$body" | grep -q "dsk_list=\"$wl_dsk,\""; then listed=ok; break; fi
  sleep 0.3
done
check "the whitelist lists the device" "$listed"
check "whitelist report: current form only" \
  "$(matches "$body" "$doc<zwnet [^>]*><whitelist_list  dsk_list=\"$wl_dsk,\" /></zwnet></zwave>")"
ok_if poll_until 30 wl_info "$net/zwnet_whitelist_device_info" 'name="a%20b"' "${cookie[@]}" --data-binary "dsk=$wl_dsk"
check "whitelist device info: the name as sent, encoded again" "$(result)"
check "whitelist device info: current form only" \
  "$(matches "$body" "$doc<zwnet [^>]*><whitelist_info dsk=\"$wl_dsk\" granted_keys=\"135\" name=\"a%20b\" loc=\"hall\" /></zwnet></zwave>")"
ask wl_clear "$net/zwnet_whitelist_remove_all" "${cookie[@]}"
cleared=bad
for _ in $(seq 60); do
  ask wl_get "$net/zwnet_whitelist_list_get" "${cookie[@]}"
  ask wl_report "$net/zwnet_whitelist_list_report" "${cookie[@]}"
  if printf '%s' "$body" | grep -q 'dsk_list=""'; then cleared=ok; break; fi
  sleep 0.3
done
check "remove all clears the whitelist" "$cleared"

check "every one of $answers answers is well-formed XML (bad:${bad_answers:- none})" \
  "$([ -z "$bad_answers" ] && [ "$answers" -gt 10 ] && echo ok)"
web_test_finish "$work"
