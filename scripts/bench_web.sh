#!/usr/bin/env bash
# Web road of zw_version: requests per second and p50/p99 latency of
# nginx -> trellan -> kestrund, next to nginx -> a trivial FastCGI responder
# measured in the same run, and their ratio. Not part of the test suite.
#
# Usage: scripts/bench_web.sh [--build DIR] [--seconds N] [--rounds N] [--connections N]
#   --build DIR      the build tree for trellan and kestrund (default:
#                    build/bench-web); configured with the folders the road
#                    needs and brought up to date on every run
#   --seconds N      measuring time per road and round (default 5)
#   --rounds N       rounds of the two roads, one after the other (default 3)
#   --connections N  keep-alive connections of the load tool (default 4)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$src/build/bench-web
seconds=5
rounds=3
connections=4
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" 2>/dev/null && pwd || echo "$2"); shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# kestrund's socket name is fixed: a network namespace of our own keeps the
# daemons of other runs out (loopback must be brought up in it).
if [ -z "${ZW_BENCH_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  exec env ZW_BENCH_IN_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" \
    --build "$build" --seconds "$seconds" --rounds "$rounds" --connections "$connections"
fi

# Configure and build every run: an earlier configure of the same tree may
# have left out the web folders, and stale binaries would be measured.
mkdir -p "$(dirname "$build")"
echo "building trellan and kestrund in $build ..."
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZW_FOLDERS="util;avi;hcapi/zip;hcapi/core;hcapi/net;hcapi/fac;scene;daemon;daemon/messages;daemon/program;service;ifttt;messages" \
  > "$build.cmake.log" 2>&1 || { cat "$build.cmake.log" >&2; exit 1; }
cmake --build "$build" -j3 --target trellan kestrund > "$build.build.log" 2>&1 ||
  { tail -40 "$build.build.log" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/bench-web.XXXXXX")
tools=$work/tools
mkdir -p "$tools"
g++ -std=c++20 -O2 -pthread -o "$tools/load" "$src/scripts/bench_web_load.cpp"
g++ -std=c++20 -O2 -o "$tools/daemon" "$src/scripts/bench_web_daemon.cpp"
gcc -O2 -o "$tools/trivial" "$src/scripts/bench_web_trivial.c" -lfcgi

. "$src/tests/e2e/web_stack.sh"
nginx_pid=
trivial_pid=
trellan_pid=
canned_pid=
cleanup() {
  stop_pid "$canned_pid"
  stop_pid "$nginx_pid"
  stop_pid "$trivial_pid"
  stop_pid "$trellan_pid"
  kestrund_stop
  rm -rf "$work"
}
trap cleanup EXIT

install=$work/install-root
"$src/tests/e2e/stage_install.sh" "$src" "$install" "" "$build" > /dev/null
road=/zwave/networks/01-02-03-04-05-06-07-08/zw_version

# kestrund's reply to trellan's zw_version frame, kept for the canned daemon
# (trellan run once as a CGI program gives the frame).
coproc recorder { "$tools/daemon" record "$work/request.frame"; }
recorder_pid=$recorder_PID
read -r _ <&"${recorder[0]}"
env -i REQUEST_METHOD=GET REQUEST_URI=$road CONTEXT_PREFIX=/zwave REMOTE_USER=bench \
  VANTOR_INSTALL_PATH="$install/bin" "$build/service/trellan" < /dev/null > /dev/null 2>&1
wait "$recorder_pid" || { echo "no request frame from trellan" >&2; exit 1; }
# The daemon as the test stack runs it, logging errors only: it has no
# gateway here, so at the information level every request would add a line
# that it does not write with its network connected.
kestrund_log_level=error kestrund_start "$work" "$build/daemon/kestrund" "$src/avi/zwave.avsc"
"$tools/daemon" ask "$work/request.frame" "$work/reply.frame" || { echo "no reply from kestrund" >&2; exit 1; }

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/nginx/logs" "$work/nginx/tmp"
grep -v '[[:space:]]REMOTE_USER[[:space:]]' /etc/nginx/fastcgi_params > "$work/nginx/fastcgi_params"
# One nginx for both roads. The user comes as REMOTE_USER, so that no PHP
# session check runs per request: the road measured is trellan's own.
cat > "$work/nginx/nginx.conf" <<CONF
user root root;
worker_processes 1;
daemon off;
error_log $work/nginx/logs/error.log;
pid $work/nginx/nginx.pid;
events { worker_connections 256; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $work/nginx/tmp/body;
  fastcgi_temp_path $work/nginx/tmp/fastcgi;
  proxy_temp_path $work/nginx/tmp/proxy;
  uwsgi_temp_path $work/nginx/tmp/uwsgi;
  scgi_temp_path $work/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    location /zwave/ {
      include $work/nginx/fastcgi_params;
      fastcgi_param REMOTE_USER bench;
      fastcgi_param CONTEXT_PREFIX /zwave;
      fastcgi_param VANTOR_INSTALL_PATH $install/bin;
      fastcgi_pass unix:$work/trellan.sock;
    }
    location /trivial/ {
      include $work/nginx/fastcgi_params;
      fastcgi_pass unix:$work/trivial.sock;
    }
  }
}
CONF
VANTOR_INSTALL_PATH=$install/bin spawn-fcgi -s "$work/trellan.sock" -M 0600 -P "$work/trellan.pid" \
  -- "$build/service/trellan" > /dev/null
trellan_pid=$(cat "$work/trellan.pid")
spawn-fcgi -s "$work/trivial.sock" -M 0600 -P "$work/trivial.pid" -- "$tools/trivial" > /dev/null
trivial_pid=$(cat "$work/trivial.pid")
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" 2> "$work/nginx/stderr.log" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/" && break; sleep 0.1; done

answer=$(curl -s -m 30 "http://127.0.0.1:$port$road")
case $answer in
  *'<version platform='*) ;;
  *) echo "trellan does not answer zw_version: '$answer'" >&2; exit 1 ;;
esac

warm() { "$tools/load" "$port" "$1" "$connections" 1 > /dev/null; }
measure() { "$tools/load" "$port" "$1" "$connections" "$seconds"; } # prints the load tool's line
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; } # user + system, in clock ticks
worker_pid() { pgrep -P "$nginx_pid" -f 'nginx: worker' | head -1; }
nginx_worker=$(worker_pid)
# The two roads take turns, a few rounds each: on a shared or virtual machine
# one road measured once can meet a better or worse moment (where the
# scheduler puts the processes, other work) than the other; the median of
# the rounds' ratios is steadier, and the rounds show the spread.
t_n=0 t_err=0 t_cpu=0 nginx_trivial_cpu=0 w_n=0 w_err=0 trellan_cpu=0 kestrund_cpu=0 nginx_road_cpu=0
t_rates=() w_rates=() t_p50s=() t_p99s=() w_p50s=() w_p99s=() ratios=()
warm /trivial/x
warm "$road"
log_before=$(stat -c %s "$work/nginx/logs/error.log")
for round in $(seq "$rounds"); do
  nginx_before=$(cpu_ticks "$nginx_worker")
  trivial_before=$(cpu_ticks "$trivial_pid")
  read -r n rps p50 p99 err < <(measure /trivial/x)
  nginx_trivial_cpu=$(( nginx_trivial_cpu + $(cpu_ticks "$nginx_worker") - nginx_before ))
  t_cpu=$(( t_cpu + $(cpu_ticks "$trivial_pid") - trivial_before ))
  t_n=$(( t_n + n )) t_err=$(( t_err + err ))
  t_rates+=("$rps") t_p50s+=("$p50") t_p99s+=("$p99")
  nginx_before=$(cpu_ticks "$nginx_worker")
  trellan_before=$(cpu_ticks "$trellan_pid")
  kestrund_before=$(cpu_ticks "$kestrund_pid")
  read -r n w_rps p50 p99 err < <(measure "$road")
  trellan_cpu=$(( trellan_cpu + $(cpu_ticks "$trellan_pid") - trellan_before ))
  kestrund_cpu=$(( kestrund_cpu + $(cpu_ticks "$kestrund_pid") - kestrund_before ))
  nginx_road_cpu=$(( nginx_road_cpu + $(cpu_ticks "$nginx_worker") - nginx_before ))
  w_n=$(( w_n + n )) w_err=$(( w_err + err ))
  w_rates+=("$w_rps") w_p50s+=("$p50") w_p99s+=("$p99")
  ratios+=("$(python3 -c "print(f'{$w_rps / $rps:.2f}' if $rps else 'n/a')")")
done
log_after=$(stat -c %s "$work/nginx/logs/error.log")
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# The same road with a daemon that answers at once: trellan's own share.
kestrund_stop
coproc canned { exec "$tools/daemon" serve "$work/reply.frame"; }
canned_pid=$canned_PID
read -r _ <&"${canned[0]}"
warm "$road"
trellan_before=$(cpu_ticks "$trellan_pid")
read -r c_n c_rps c_p50 c_p99 c_err < <(measure "$road")
canned_cpu=$(( $(cpu_ticks "$trellan_pid") - trellan_before ))

echo
echo "zw_version through nginx, one FastCGI process per road, $connections connections," \
  "$rounds rounds of ${seconds} s per road (req/s and latencies: median of the rounds)"
printf '%-28s %10s %10s %9s %9s %7s\n' road requests "req/s" "p50 ms" "p99 ms" errors
printf '%-28s %10s %10s %9s %9s %7s\n' "trivial FastCGI responder" "$t_n" "$(median "${t_rates[@]}")" \
  "$(median "${t_p50s[@]}")" "$(median "${t_p99s[@]}")" "$t_err"
printf '%-28s %10s %10s %9s %9s %7s\n' "trellan + kestrund" "$w_n" "$(median "${w_rates[@]}")" \
  "$(median "${w_p50s[@]}")" "$(median "${w_p99s[@]}")" "$w_err"
printf '%-28s %10s %10s %9s %9s %7s\n' "trellan + canned reply" "$c_n" "$c_rps" "$c_p50" "$c_p99" "$c_err"
t_median=$(median "${t_rates[@]}")
ratio_own=$(python3 -c "print(f'{$c_rps / $t_median:.2f}' if $t_median else 'n/a')")
per_request=$(python3 -c "print(round(($log_after - $log_before) / max(1, $w_n)))")
hz=$(getconf CLK_TCK)
cpu_us() { python3 -c "print(round($1 * 1e6 / $hz / max(1, $2)))"; }
echo "ratio to the trivial responder: $(median "${ratios[@]}") with kestrund (median; rounds: ${ratios[*]})," \
  "$ratio_own with the canned reply"
echo "per request: trivial responder $(cpu_us "$t_cpu" "$t_n") us CPU, nginx $(cpu_us "$nginx_trivial_cpu" "$t_n") us" \
  "with it and $(cpu_us "$nginx_road_cpu" "$w_n") us with trellan"
echo "per request: trellan $(cpu_us "$trellan_cpu" "$w_n") us CPU ($(cpu_us "$canned_cpu" "$c_n") us with the canned" \
  "reply), kestrund $(cpu_us "$kestrund_cpu" "$w_n") us CPU; nginx error log $per_request bytes"
