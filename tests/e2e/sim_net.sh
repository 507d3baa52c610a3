# Shell functions (sourced) that give kestrund a simulated gateway it can
# confirm by discovery, for a test or the demo. Discovery does not probe from
# 127.0.0.1, so this runs inside a network namespace of the caller's own
# (unshare -n) and gives it a veth link with addresses of its own.
#
#   sim_net_setup [address/prefix...]   sets sim_gateway (10.77.0.1); the
#                                       addresses are added beside .1 to .4
#   sim_start <work dir> <zipgw-sim> <src> [sim args...]   sets sim_pid
#   sim_stop
#
# The simulator plays the gateway at sim_gateway and its nodes at .2, .3, ...
# of the same /24; a small responder answers the discovery broadcast for it.
# Source web_stack.sh first (stop_pid).

sim_gateway=
sim_pid=
sim_responder_pid=

sim_net_setup() {
  ip link set lo up
  ip link add zwd0 type veth peer name zwd1
  ip link set zwd1 up
  local host
  for host in 1 2 3 4; do ip addr add "10.77.0.$host/24" dev zwd0; done
  for host in "$@"; do ip addr add "$host" dev zwd0; done
  ip link set zwd0 up
  sim_gateway=10.77.0.1
}

sim_start() {
  local work=$1 sim=$2 src=$3; shift 3
  "$sim" --address "$sim_gateway" "$@" > "$work/sim.log" 2>&1 < /dev/null &
  sim_pid=$!
  rm -f "$work/responder.in"
  mkfifo "$work/responder.in"
  python3 "$src/tests/daemon/net_gateway_responder.py" "$sim_gateway" \
    < "$work/responder.in" > "$work/responder.out" &
  sim_responder_pid=$!
  # The responder ends at the end of its standard input: fd 8 holds it open.
  exec 8> "$work/responder.in"
  local _
  for _ in $(seq 100); do
    grep -q ready "$work/responder.out" 2>/dev/null && return 0
    kill -0 "$sim_responder_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the discovery responder did not come up" >&2
  return 1
}

sim_stop() {
  exec 8>&- || true
  [ -z "$sim_responder_pid" ] || wait "$sim_responder_pid" 2>/dev/null || true
  sim_responder_pid=
  stop_pid "$sim_pid"
  sim_pid=
}
