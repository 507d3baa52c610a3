#!/usr/bin/env bash
# Device road of kestrund: latency of interface_switch_multilevel_get through
# the daemon to a simulated dimmer and back, next to a bare UDP round trip to
# the same simulated node in the same run (kestrund_device_bench). Not part of
# the test suite.
#
#   scripts/bench_device.sh BUILD_DIR [REQUESTS]   (default 2000 per road and round)
#
# BUILD_DIR holds kestrund, zipgw-sim and kestrund_device_bench, built.
# Runs in a network namespace of its own: the daemon confirms its stored
# gateway by discovery, which probes only from addresses of a real link, so
# a veth pair carries the simulator's addresses; the namespace also keeps the
# daemon's fixed socket name and port 4123 away from the rest of the machine.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/bench_device.sh BUILD_DIR [REQUESTS]}" && pwd)
requests=${2:-2000}

if [ -z "${ZW_BENCH_DEVICE_NETNS:-}" ]; then
  if ! unshare -n true 2>/dev/null; then
    echo "skipped: the device road needs a network namespace of its own (unshare -n)"
    exit 0
  fi
  exec env ZW_BENCH_DEVICE_NETNS=1 unshare -n bash "$0" "$build" "$requests"
fi

. "$src/tests/e2e/web_stack.sh"   # stop_pid
. "$src/tests/e2e/sim_net.sh"

work=$(mktemp -d "${TMPDIR:-/tmp}/kestrund_device_bench_XXXXXX")
daemon_pid=
cleanup() {
  stop_pid "$daemon_pid"
  sim_stop
  rm -rf "$work"
}
trap cleanup EXIT

sim_net_setup
sim_start "$work" "$build/sim/zipgw-sim" "$src" --profile 2=dimmer

# The daemon's install as the network tests stage it: configuration and
# protocol file under etc, the stored gateway under var/networks beside it.
mkdir -p "$work/etc" "$work/var/networks"
cp "$src/avi/zwave.avsc" "$work/etc/zwave.avsc"
echo '{"device_records": [{"vid": 1, "ptype": 2, "pid": 3, "category": 4}]}' > "$work/etc/dev.json"
# Only errors logged: the log is no part of the road.
cat > "$work/etc/kestrund.conf" <<'CONF'
log = { upto_level = "error"; };
portal = {
  security = { CA_certificate_file = "ca.pem"; SSL_certificate_file = "ssl.pem"; private_key_file = "key.pem"; };
  device_specific_configuration_file = "dev.json";
};
CONF
echo "$sim_gateway|41231" > "$work/var/networks/zip_server.txt"
"$build/daemon/kestrund" -f "$work/etc/kestrund.conf" > "$work/kestrund.log" 2>&1 &
daemon_pid=$!

status=0
"$build/tests/daemon/kestrund_device_bench" "$work/etc/zwave.avsc" 10.77.0.2 "$requests" "$work/sim.log" || status=$?
# Its start-up warnings and discovery reports are known; shown when it failed.
if [ "$status" -ne 0 ] && [ -s "$work/kestrund.log" ]; then
  echo "kestrund logged:"
  tail -n 20 "$work/kestrund.log"
fi
exit "$status"
