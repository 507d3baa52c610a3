# Shell functions (sourced) that give kestrund a simulated gateway it can
# confirm by discovery, for a test or the demo. Discovery does not probe from
# 127.0.0.1, so this runs inside a network namespace of the caller's own
# (unshare -n) and gives it a veth link with addresses of its own.
#
#   sim_net_setup [address/prefix...]   sets sim_gateway (10.77.0.1); the
#                                       addresses are added beside .1 to .4
#   sim_start <work dir> <zipgw-sim> <src> [sim args...]   sets sim_pid
#   sim_stop
#   sim_control <socket> <line>         one command on the simulator's control
#                                       channel (started with --control
#                                       <socket>; see sim/sim_control.h): prints
#                                       the answer line, fails unless it is "ok"
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

sim_control() {
  # The channel may not listen yet right after sim_start: connects are
  # retried for a while.
  python3 - "$1" "$2" <<'PY'
import socket, sys, time
path, line = sys.argv[1], sys.argv[2]
deadline = time.monotonic() + 30
while True:
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        s.connect(path)
        break
    except OSError:
        s.close()
        if time.monotonic() > deadline:
            sys.exit("no control channel at " + path)
        time.sleep(0.1)
s.settimeout(30)
s.sendall(line.encode() + b"\n")
answer = b""
while b"\n" not in answer:
    chunk = s.recv(4096)
    if not chunk:
        break
    answer += chunk
text = answer.split(b"\n")[0].decode(errors="replace")
print(text)
sys.exit(0 if text == "ok" or text.startswith("ok ") else 1)
PY
}
