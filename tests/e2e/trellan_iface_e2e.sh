#!/usr/bin/env bash
# curl -> nginx -> trellan -> kestrund -> gateway simulator: Basic on the
# demo switch (which maps Basic onto its actuator) and the battery of the
# sleeping sensor, as a browser asks for them. Every XML answer must pass
# xmllint.
# Usage: trellan_iface_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
. "$src/tests/e2e/sim_net.sh"
# A network namespace of our own: the socket name and the gateway address
# are fixed, and discovery needs an interface address of its own.
web_netns_enter required "$0" "$@"
sim_net_setup
gateway=$sim_gateway
work=$(mktemp -d "$build/e2e-iface.XXXXXX")
trap 'web_test_cleanup "$work"' EXIT

sim_start "$work" "$build/sim/zipgw-sim" "$src" --profile demo --wake-every 3
web_system_start "$src" "$build" "$work" "$gateway"

net=/zwave/networks/01-02-03-04-05-06-07-08
cookie=(-b "PHPSESSID=$session")
doc='<\?xml version="1\.0"\?><zwave>'
basic_ifd=2097410   # class 0x20, endpoint 0 (byte 1), node 2
battery_ifd=8388867 # class 0x80, endpoint 0 (byte 1), node 3

ok_if poll_until 60 info "$net/zw_info" ' init="1"' "${cookie[@]}"
check "the network initialises" "$(result)"

web_get basic_set "$net/zwif_basic" "${cookie[@]}" --data-binary "cmd=4&ifd=$basic_ifd&value=255"
# A set has nothing to show: the service writes no document for it.
check "basic set: 200 without a document ($body)" "$([ "$code" = 200 ] && [ -z "$body" ] && echo ok)"
sent=no
for _ in $(seq 100); do
  grep -E " rx 10\.77\.0\.2:" "$work/sim.log" | grep -qi "20 01 ff" && { sent=ok; break; }
  sleep 0.1
done
check "the switch received Basic Set 0xFF" "$sent"

ok_if poll_until 30 basic_get "$net/zwif_basic" "<basic update=\"[1-9][0-9]*\" state=\"255\" />" "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$basic_ifd"
check "a following basic get answers 255 with an update time" "$(result)"
check "basic get: both forms" \
  "$(matches "$body" "$doc<intf desc=\"$basic_ifd\" deprecated=\"1\"><basic update=\"[1-9][0-9]*\" state=\"255\" /></intf><zwif desc=\"$basic_ifd\"><basic utime=\"[1-9][0-9]*\" state=\"255\" /></zwif></zwave>")"
check "basic get: well-formed" "$(xml_ok "$body")"

web_get battery_first "$net/zwif_battery" "${cookie[@]}" --data-binary "cmd=2&ifd=$battery_ifd"
check "the sleeping node's battery answers at once from what is stored" \
  "$(matches "$body" "$doc<intf desc=\"$battery_ifd\" deprecated=\"1\"><battery update=\"[0-9]+\" level=\"[0-9]+\" /></intf><zwif desc=\"$battery_ifd\"><battery utime=\"[0-9]+\" level=\"[0-9]+\" /></zwif></zwave>")"
check "battery: well-formed" "$(xml_ok "$body")"
ok_if poll_until 60 battery_woken "$net/zwif_battery" "<battery update=\"[1-9][0-9]*\" level=\"100\" />" \
  "${cookie[@]}" --data-binary "cmd=3&ifd=$battery_ifd"
check "after the node woke up the passive read shows the device's level" "$(result)"
check "battery passive read: well-formed" "$(xml_ok "$body")"

web_get basic_refused "$net/zwif_basic" "${cookie[@]}" --data-binary "cmd=4&ifd=$basic_ifd&value=-1"
check "a negative basic value gets the error document" \
  "$(matches "$body" "$doc<error>.*</error></zwave>")"

web_test_finish "$work"
