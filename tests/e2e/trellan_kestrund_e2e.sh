#!/usr/bin/env bash
# curl -> nginx -> trellan -> kestrund over the real abstract socket: the
# version and summary answers, then the error document once kestrund is
# stopped. Every XML answer must pass xmllint.
# Usage: trellan_kestrund_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
# The socket name is fixed; a network namespace of our own keeps other
# daemons on this machine out.
web_netns_enter optional "$0" "$@"
work=$(mktemp -d "$build/e2e-kestrund.XXXXXX")
trap 'web_test_cleanup "$work"' EXIT

web_system_start "$src" "$build" "$work"

net=/zwave/networks/01-02-03-04-05-06-07-08
doc='<\?xml version="1\.0"\?><zwave>'
ver='[0-9]+'

web_get version "$net/zw_version" -b "PHPSESSID=$session"
check "zw_version: 200" "$([ "$code" = 200 ] && echo ok)"
check "zw_version: the version element alone, current form" \
  "$(matches "$body" "$doc<version platform=\"linux\" app_major=\"1\" app_minor=\"0\" ctl_major=\"$ver\" ctl_minor=\"$ver\" /></zwave>")"
check "zw_version: well-formed" "$(xml_ok "$body")"
first=$body

web_get alias "$net/version" -b "PHPSESSID=$session"
check "older name 'version': the same answer" "$([ "$body" = "$first" ] && echo ok)"

web_get summary "$net/zw_info" -b "PHPSESSID=$session"
check "zw_info: 200" "$([ "$code" = 200 ] && echo ok)"
# No gateway in this namespace: the network is not initialised.
check "zw_info: the summary of a daemon without a network" \
  "$(matches "$body" "$doc<zw_info vname=\"Tessaly\" pname=\"Vantor%20and%20Vantor%20Apps\" spltform=\"linux\" uname=\"alice\" init=\"0\" home_id=\"00000000\" ctlr_id=\"0\" portalcid=\"\" zipgw=\"\" server_ip=\"127\.0\.0\.1\" client_ip=\"127\.0\.0\.1\" ><version name=\"zw_ctl\" value=\"$ver\.[0-9]{2,}\" /><version name=\"zw_appl\" value=\"1\.0\" /><version name=\"zw_webapi\" value=\"1\.19\" /><version name=\"zw_ui_engineering\" value=\"1\.0\.0\" /><version name=\"zw_ui_stb\" value=\"1\.0\.0\" /><version name=\"zw_ui_pc\" value=\"1\.0\.0\" /><version name=\"zw_ui_phone\" value=\"1\.0\.0\" /></zw_info></zwave>")"
check "zw_info: well-formed" "$(xml_ok "$body")"

web_get other_id "/zwave/networks/AA-BB-CC-DD-EE-FF-00-11/zw_version" -b "PHPSESSID=$session"
check "any network id is served by the one network" "$([ "$body" = "$first" ] && echo ok)"

web_get no_user "$net/zw_info"
check "no session and no user: 403" "$([ "$code" = 403 ] && [ -z "$body" ] && echo ok)"
web_get basic "$net/zw_info" -u carol:x
check "Basic credentials without authentication: 403" "$([ "$code" = 403 ] && [ -z "$body" ] && echo ok)"

kestrund_stop
start=$(date +%s)
web_get down "$net/zw_version" -b "PHPSESSID=$session"
took=$(( $(date +%s) - start ))
check "kestrund stopped: 200 with the error document, not a 502" \
  "$([ "$code" = 200 ] && [ "$body" = '<?xml version="1.0"?><zwave><error></error></zwave>' ] && echo ok)"
check "kestrund stopped: answered at once (${took}s)" "$([ "$took" -le 3 ] && echo ok)"
check "kestrund stopped: well-formed" "$(xml_ok "$body")"
web_get down_info "$net/zw_info" -b "PHPSESSID=$session"
check "kestrund stopped: zw_info too" \
  "$([ "$body" = '<?xml version="1.0"?><zwave><error></error></zwave>' ] && echo ok)"

check "trellan still running" "$(kill -0 "$web_trellan_pid" 2>/dev/null && echo ok)"
web_test_finish "$work"
