#!/usr/bin/env bash
# curl -> nginx -> trellan -> kestrund -> gateway simulator: the dimmer, the
# colour light, the metering plug and the multisensor of the simulator's full
# network, read and driven as a browser does, with the simulator's control
# channel setting what the devices hold. What a device receives is read from
# the simulator's log; every XML answer must pass xmllint.
# Usage: trellan_devices_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
. "$src/tests/e2e/sim_net.sh"
# A network namespace of our own: the socket name and the gateway address
# are fixed, and discovery needs an interface address of its own. The full
# network has nodes up to .8.
web_netns_enter required "$0" "$@"
sim_net_setup 10.77.0.5/24 10.77.0.6/24 10.77.0.7/24 10.77.0.8/24
gateway=$sim_gateway
work=$(mktemp -d "$build/e2e-devices.XXXXXX")
trap 'web_test_cleanup "$work"' EXIT

ctl=$work/sim.ctl
sim_start "$work" "$build/sim/zipgw-sim" "$src" --profile full --control "$ctl"
control() { sim_control "$ctl" "$1" > "$work/control.out" && echo ok || { cat "$work/control.out" >&2; echo bad; }; }
# The light offers warm white, red and blue (mask 0x15) while the daemon
# first learns it, so that the supported list below is what it learnt.
check "the light offers components 0, 2 and 4" \
  "$(control "set 6 33 15 00 00 00 FF 80 00 00 00 00 00")"
web_system_start "$src" "$build" "$work" "$gateway"

net=/zwave/networks/01-02-03-04-05-06-07-08
cookie=(-b "PHPSESSID=$session")
doc='<\?xml version="1\.0"\?><zwave>'
ifd_of() { echo $(( $1 << 16 | 1 << 8 | $2 )); } # class, node: endpoint 0
level_ifd=$(ifd_of 0x26 5)
color_ifd=$(ifd_of 0x33 6)
meter_ifd=$(ifd_of 0x32 7)
bsensor_ifd=$(ifd_of 0x30 8)
sensor_ifd=$(ifd_of 0x31 8)

# The log's length before a request; node_got looks only at what follows.
log_mark() { wc -l < "$work/sim.log"; }
node_frames() { # mark node command-hex: the node's received frames with that command
  tail -n +"$(( $1 + 1 ))" "$work/sim.log" | grep -E " rx 10\.77\.0\.$2:" | grep -E " cmd $3( |\$)" || true
}
node_got() { # mark node command-hex: waits up to 60 s for the node to receive it
  local until=$(( $(date +%s) + 60 ))
  while [ -z "$(node_frames "$@")" ]; do
    [ "$(date +%s)" -lt "$until" ] || { echo "  node $2 did not receive $3" >&2; echo bad; return; }
    sleep 0.2
  done
  echo ok
}
set_ok() { [ "$code" = 200 ] && [ -z "$body" ] && echo ok || { echo "  got $code: $body" >&2; echo bad; }; }

ok_if poll_until 60 info "$net/zw_info" ' init="1"' "${cookie[@]}"
check "the network initialises" "$(result)"

# --- Dimmer (node 5, Multilevel Switch version 4)
mark=$(log_mark)
web_get level_set "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=4&ifd=$level_ifd&value=40"
check "level set: 200 without a document" "$(set_ok)"
check "the dimmer received Set 40 with the device's own duration" "$(node_got "$mark" 5 '26 01 28 FF')"
ok_if poll_until 60 level_get "$net/zwif_level" '<level utime="[1-9][0-9]*" state="40" />' "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$level_ifd"
check "a following level get answers 40 with an update time" "$(result)"
check "level get: both forms" \
  "$(matches "$body" "$doc<intf desc=\"$level_ifd\" deprecated=\"1\"><multi_lvl_sw update=\"[1-9][0-9]*\" state=\"40\" /></intf><zwif desc=\"$level_ifd\"><level utime=\"[1-9][0-9]*\" state=\"40\" /></zwif></zwave>")"
check "level get: well-formed" "$(xml_ok "$body")"

mark=$(log_mark)
web_get level_start "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=6&ifd=$level_ifd&start_stop=1&dir=0&ignore_start_lvl=1"
check "level change start: 200 without a document" "$(set_ok)"
# Up, start level ignored, no secondary change; duration the device's own.
check "the dimmer received the start" "$(node_got "$mark" 5 '26 04 38 00 FF 00')"
web_get level_change "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=5&ifd=$level_ifd"
check "the level change reads as started, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$level_ifd\" deprecated=\"1\"><lvl_chg_multi_lvl_sw status=\"1\" /></intf><zwif desc=\"$level_ifd\"><level_change status=\"1\" /></zwif></zwave>")"
check "level change get: well-formed" "$(xml_ok "$body")"
mark=$(log_mark)
web_get level_stop "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=6&ifd=$level_ifd&start_stop=0"
check "the dimmer received the stop" "$(node_got "$mark" 5 '26 05')"
web_get level_stopped "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=5&ifd=$level_ifd"
check "and the level change reads as stopped" "$(has "$body" '<level_change status="0" />')"

mark=$(log_mark)
web_get level_refused "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=4&ifd=$level_ifd&value=150"
check "a level of 150 gets the error document" "$(matches "$body" "$doc<error>.*</error></zwave>")"
check "error document: well-formed" "$(xml_ok "$body")"
# A get after it is the barrier: its frame comes after any the refused set
# could have caused.
web_get level_after "$net/zwif_level" "${cookie[@]}" --data-binary "cmd=2&ifd=$level_ifd"
check "a get after the refused set reaches the dimmer" "$(node_got "$mark" 5 '26 02')"
check "and no set reached it in between" "$([ -z "$(node_frames "$mark" 5 '26 01')" ] && echo ok)"

# --- Colour light (node 6, Switch Color version 3)
ok_if poll_until 60 color_sup "$net/zwif_color" 'color_sup_list=' "${cookie[@]}" --data-binary "cmd=7&ifd=$color_ifd"
check "colour supported: the components of mask 0x15, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$color_ifd\" deprecated=\"1\"><color_sup update=\"[1-9][0-9]*\" color_sup_list=\"0,2,4\" /></intf><zwif desc=\"$color_ifd\"><color_sup utime=\"[1-9][0-9]*\" color_sup_list=\"0,2,4\" /></zwif></zwave>")"
check "colour supported: well-formed" "$(xml_ok "$body")"

# Green (3) back, as the light's profile has it, for the reads and the set.
check "the light offers green again" "$(control "set 6 33 1D 00 00 00 FF 80 00 00 00 00 00")"
ok_if poll_until 60 color_green "$net/zwif_color" 'color_id="3" color_cvalue="128"' "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$color_ifd&color_id_list=3"
check "green reads 128" "$(result)"
mark=$(log_mark)
ok_if poll_until 60 color_get "$net/zwif_color" \
  '<color utime="[1-9][0-9]*" color_id="2" color_cvalue="255" color_tvalue="255" color_dur="0" />' \
  "${cookie[@]}" --data-binary "cmd=2&ifd=$color_ifd&color_id_list=2,3"
check "a get of red and green reads red 255 with target and duration" "$(result)"
check "the light was asked for red" "$(node_got "$mark" 6 '33 03 02')"
check "and the answer holds green 128 beside it" \
  "$(has "$body" '<zwif [^>]*>.*<color utime="[1-9][0-9]*" color_id="3" color_cvalue="128" ')"
check "colour get: two components in each form" \
  "$(matches "$body" "$doc<intf desc=\"$color_ifd\" deprecated=\"1\">(<color update=\"[0-9]+\" [^>]*/>){2}</intf><zwif desc=\"$color_ifd\">(<color utime=\"[0-9]+\" [^>]*/>){2}</zwif></zwave>")"
check "colour get: well-formed" "$(xml_ok "$body")"

mark=$(log_mark)
web_get color_set "$net/zwif_color" "${cookie[@]}" \
  --data-binary "cmd=4&ifd=$color_ifd&color_id_list=2,3&color_value_list=255,0"
check "colour set: 200 without a document" "$(set_ok)"
check "the light received one Set of red 255 and green 0" "$(node_got "$mark" 6 '33 05 02 02 FF 03 00 FF')"
check "and holds them" "$(sim_control "$ctl" "values 6 33" | grep -qx 'ok 1D 00 00 00 FF 00 00 00 00 00 00' && echo ok)"

# --- Metering plug (node 7, Meter version 3)
ok_if poll_until 60 meter_get "$net/zwif_meter" 'value="45\.6000000"' "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$meter_ifd&unit=2"
check "a meter get of watts reads 45.6" "$(result)"
check "meter get: the watt reading alone, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$meter_ifd\" deprecated=\"1\"><meter update=\"[1-9][0-9]*\" type=\"1\" value=\"45\.6000000\" precision=\"1\" unit=\"2\" rtype=\"1\" delta=\"30\" prev=\"40\.0000000\" /></intf><zwif desc=\"$meter_ifd\"><meter utime=\"[1-9][0-9]*\" type=\"1\" value=\"45\.6000000\" precision=\"1\" unit=\"2\" rtype=\"1\" delta=\"30\" prev=\"40\.0000000\" /></zwif></zwave>")"
check "meter get: well-formed" "$(xml_ok "$body")"

web_get meter_sup "$net/zwif_meter" "${cookie[@]}" --data-binary "cmd=4&ifd=$meter_ifd"
check "meter supported: electric, kWh and W, resettable" \
  "$(matches "$body" "$doc<intf desc=\"$meter_ifd\" deprecated=\"1\"><sup_meter update=\"[1-9][0-9]*\" type=\"1\" units=\"5\" reset=\"1\" /></intf><zwif desc=\"$meter_ifd\"><meter_sup utime=\"[1-9][0-9]*\" type=\"1\" units=\"5\" reset=\"1\" /></zwif></zwave>")"
check "meter supported: well-formed" "$(xml_ok "$body")"

# -0.2 W after -0.4 W: two bytes FF FE, one decimal. The watt reading comes
# first, so that the plug's own report is of it.
check "the plug reads -0.2 W" \
  "$(control "set 7 32 01 01 01 02 01 02 FF FF FF FE 00 1E FF FF FF FC 00 02 04 00 00 04 D2 00 00 00 00 00 00")"
check "and reports it" "$(control "report 7 32")"
ok_if poll_until 60 meter_negative "$net/zwif_meter" '<meter utime="[1-9][0-9]*" [^>]*value="-0\.2000000" [^>]*prev="-0\.4000000" />' \
  "${cookie[@]}" --data-binary "cmd=2&ifd=$meter_ifd&unit=2"
check "a negative reading is written with its sign" "$(result)"
check "negative reading: well-formed" "$(xml_ok "$body")"

mark=$(log_mark)
web_get meter_reset "$net/zwif_meter" "${cookie[@]}" --data-binary "cmd=6&ifd=$meter_ifd"
check "meter reset: 200 without a document" "$(set_ok)"
check "the plug received the reset" "$(node_got "$mark" 7 '32 05')"
ok_if poll_until 60 meter_zero "$net/zwif_meter" '<meter utime="[1-9][0-9]*" [^>]*value="0\.0000000" ' \
  "${cookie[@]}" --data-binary "cmd=2&ifd=$meter_ifd&unit=2"
check "after the reset the watts read 0" "$(result)"

# --- Multisensor (node 8, Multilevel Sensor version 5, Binary Sensor version 2)
ok_if poll_until 60 sensor_get "$net/zwif_sensor" 'value="21\.5000000"' "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$sensor_ifd&type=1&unit=0"
check "the air temperature reads 21.5 degrees Celsius" "$(result)"
check "sensor get: that reading alone, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$sensor_ifd\" deprecated=\"1\"><multi_lvl_snsr update=\"[1-9][0-9]*\" s_type=\"1\" s_value=\"21\.5000000\" s_precision=\"1\" s_unit=\"0\" /></intf><zwif desc=\"$sensor_ifd\"><sensor utime=\"[1-9][0-9]*\" type=\"1\" value=\"21\.5000000\" precision=\"1\" unit=\"0\" /></zwif></zwave>")"
check "sensor get: well-formed" "$(xml_ok "$body")"

ok_if poll_until 60 sensor_sup "$net/zwif_sensor" 'list="[^"]' "${cookie[@]}" --data-binary "cmd=4&ifd=$sensor_ifd"
check "sensor supported: temperature and humidity, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$sensor_ifd\" deprecated=\"1\"><sensor utime=\"[1-9][0-9]*\" list=\"1,5,\" /></intf><zwif desc=\"$sensor_ifd\"><sensor utime=\"[1-9][0-9]*\" list=\"1,5,\" /></zwif></zwave>")"
check "sensor supported: well-formed" "$(xml_ok "$body")"
ok_if poll_until 60 sensor_scales "$net/zwif_sensor" 'list="[^"]' "${cookie[@]}" --data-binary "cmd=6&ifd=$sensor_ifd&type=1"
check "temperature scales: Celsius and Fahrenheit, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$sensor_ifd\" deprecated=\"1\"><sensor utime=\"[1-9][0-9]*\" type=\"1\" list=\"0,1,\" /></intf><zwif desc=\"$sensor_ifd\"><sensor utime=\"[1-9][0-9]*\" type=\"1\" list=\"0,1,\" /></zwif></zwave>")"
check "sensor scales: well-formed" "$(xml_ok "$body")"

ok_if poll_until 60 bsensor_door "$net/zwif_bsensor" 'state="255" type="10"' "${cookie[@]}" \
  --data-binary "cmd=2&ifd=$bsensor_ifd&type=10"
check "the door/window sensor reads detected" "$(result)"
check "binary sensor get: both forms" \
  "$(matches "$body" "$doc<intf desc=\"$bsensor_ifd\" deprecated=\"1\"><bin_snsr idle=\"[0-9]+\" event=\"[1-9][0-9]*\" state=\"255\" type=\"10\" /></intf><zwif desc=\"$bsensor_ifd\"><bsensor idle_utime=\"[0-9]+\" event_utime=\"[1-9][0-9]*\" state=\"255\" type=\"10\" /></zwif></zwave>")"
check "binary sensor get: well-formed" "$(xml_ok "$body")"
ok_if poll_until 60 bsensor_motion "$net/zwif_bsensor" '<bsensor idle_utime="[1-9][0-9]*" [^>]*state="0" type="12" />' \
  "${cookie[@]}" --data-binary "cmd=2&ifd=$bsensor_ifd&type=12"
check "the motion sensor reads idle" "$(result)"
check "motion: well-formed" "$(xml_ok "$body")"
ok_if poll_until 60 bsensor_sup "$net/zwif_bsensor" 'list="[^"]' "${cookie[@]}" --data-binary "cmd=4&ifd=$bsensor_ifd"
check "binary sensor supported: door/window and motion, in both forms" \
  "$(matches "$body" "$doc<intf desc=\"$bsensor_ifd\" deprecated=\"1\"><bsensor utime=\"[1-9][0-9]*\" list=\"10,12,\" /></intf><zwif desc=\"$bsensor_ifd\"><bsensor utime=\"[1-9][0-9]*\" list=\"10,12,\" /></zwif></zwave>")"
check "binary sensor supported: well-formed" "$(xml_ok "$body")"

web_test_finish "$work"
