# Shell functions (sourced) that run the web side of the system for a test or
# the demo: trellan under spawn-fcgi behind nginx on a free loopback port, and
# kestrund with a configuration directory of its own.
#
#   web_stage_platform <src> <install dir>                the PHP side's stand-ins
#   web_stack_start <work dir> <install dir> <trellan>   sets web_port
#   web_stack_stop
#   kestrund_start <work dir> <kestrund> <zwave.avsc> [kestrund.conf]
#                                                         sets kestrund_pid
#   kestrund_stop
#   web_get <name> <path> [curl args...]                  sets code and body
#
# and, for the whole-system tests:
#
#   web_netns_enter required|optional <script> [args...]  re-runs the script in
#                                  a network namespace of its own, loopback up;
#                                  "required" skips the test (77) without one
#   web_system_start <src> <build> <work dir> [gateway]   sets install, session
#   web_test_cleanup <work dir>    stops everything; keeps the folder on a fail
#   web_test_finish <work dir>     the sanitizer check, logs on a fail, exit
#   check, has, matches, xml_ok, poll_until, ok_if/result (see below)
#
# <install dir> is trellan's install root (VANTOR_INSTALL_PATH is its bin).

web_nginx_pid=
web_trellan_pid=
kestrund_pid=
web_port=
web_work=

# What the web interface's platform provides below trellan's install root and
# this project does not install: the PHP interpreter and the session script,
# with the folder where its sessions live.
web_stage_platform() {
  local src=$1 dir=$2
  mkdir -p "$dir/install/php/bin" "$dir/install/corvale/auth-cgi-bin" "$dir/install/corvale/var/php_sessions"
  chmod 700 "$dir/install/corvale/var/php_sessions"
  ln -sfn /usr/bin/php "$dir/install/php/bin/php"
  cp "$src/service/php/user_name_get.php" "$dir/install/corvale/auth-cgi-bin/user_name_get.php"
}

web_stack_start() {
  web_work=$1
  local install=$2 trellan=$3
  web_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$web_work/nginx/logs" "$web_work/nginx/tmp"
  grep -v '[[:space:]]REMOTE_USER[[:space:]]' /etc/nginx/fastcgi_params > "$web_work/nginx/fastcgi_params"
  cat > "$web_work/nginx/nginx.conf" <<CONF
user root root;
worker_processes 1;
daemon off;
error_log $web_work/nginx/logs/error.log info;
pid $web_work/nginx/nginx.pid;
events { worker_connections 64; }
http {
  access_log $web_work/nginx/logs/access.log;
  client_body_temp_path $web_work/nginx/tmp/body;
  fastcgi_temp_path $web_work/nginx/tmp/fastcgi;
  proxy_temp_path $web_work/nginx/tmp/proxy;
  uwsgi_temp_path $web_work/nginx/tmp/uwsgi;
  scgi_temp_path $web_work/nginx/tmp/scgi;
  server {
    listen 127.0.0.1:$web_port;
    location /zwave/ {
      # nginx fills \$remote_user from any Basic header, with or without
      # auth_basic, and a second fastcgi_param does not replace the first:
      # both reach the program, whose environment lookup takes the first.
      # No authentication runs here, so REMOTE_USER is left out of the
      # packaged list and passed empty: no request names its own user.
      include $web_work/nginx/fastcgi_params;
      fastcgi_param REMOTE_USER "";
      fastcgi_param CONTEXT_PREFIX /zwave;
      # libfcgi hands the request's parameters to the program as its
      # environment, so the install path travels with every request.
      fastcgi_param VANTOR_INSTALL_PATH $install/bin;
      fastcgi_pass unix:$web_work/trellan.sock;
    }
  }
}
CONF
  # spawn-fcgi leaves the program no standard error of its own; what trellan
  # writes there outside a request (start-up, shut-down, sanitizer reports)
  # goes to trellan.stderr.
  VANTOR_INSTALL_PATH=$install/bin spawn-fcgi -s "$web_work/trellan.sock" -M 0600 -P "$web_work/trellan.pid" \
    -- /bin/sh -c 'exec "$0" 2>> "$1"' "$trellan" "$web_work/trellan.stderr" > "$web_work/spawn.log" 2>&1
  web_trellan_pid=$(cat "$web_work/trellan.pid")
  nginx -p "$web_work/nginx" -c "$web_work/nginx/nginx.conf" 2> "$web_work/nginx/stderr.log" &
  web_nginx_pid=$!
  for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$web_port/" && return 0
    sleep 0.1
  done
  echo "nginx did not come up on port $web_port" >&2
  return 1
}

stop_pid() { # pid: TERM, wait up to 10 s, then KILL
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -0 "$pid" 2>/dev/null || return 0
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
}

web_stack_stop() {
  stop_pid "$web_nginx_pid"; web_nginx_pid=
  stop_pid "$web_trellan_pid"; web_trellan_pid=
}

kestrund_start() {
  # Without a configuration file the daemon gets one of its own under
  # <work dir>/kestrund/etc, with <zwave.avsc> beside it; with one (an
  # installed tree) it runs on that file and its folder as they are.
  # kestrund_log_level sets the level of its own file (default information).
  local work=$1 kestrund=$2 avsc=$3 conf=${4:-}
  mkdir -p "$work/kestrund"
  if [ -z "$conf" ]; then
    mkdir -p "$work/kestrund/etc" "$work/kestrund/var"
    conf=$work/kestrund/etc/kestrund.conf
    cp "$avsc" "$work/kestrund/etc/zwave.avsc"
    cat > "$conf" <<CONF
log = { upto_level = "${kestrund_log_level:-information}"; target = "console"; };
portal = {
  security = {
    CA_certificate_file = "certs/ca.pem";
    SSL_certificate_file = "certs/ssl.pem";
    private_key_file = "certs/key.pem";
  };
  device_specific_configuration_file = "dev.json";
  network = { interface = { report_wait_timeout = 11; }; };
};
server = { thread_pool = { thread_init_count = 2; thread_max_count = 8; }; };
CONF
  fi
  "$kestrund" -f "$conf" > "$work/kestrund/out.log" 2> "$work/kestrund/err.log" < /dev/null &
  kestrund_pid=$!
  # Ready once its socket takes a connection.
  for _ in $(seq 100); do
    python3 - <<'PY' 2>/dev/null && return 0
import socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(b"\0kestrund_socket".ljust(108, b"\0"))
PY
    kill -0 "$kestrund_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "kestrund did not come up; its log:" >&2
  cat "$work/kestrund/err.log" >&2
  return 1
}

kestrund_stop() {
  stop_pid "$kestrund_pid"
  [ -z "$kestrund_pid" ] || wait "$kestrund_pid" 2>/dev/null || true
  kestrund_pid=
}

web_get() {
  local name=$1 path=$2; shift 2
  code=$(curl -s -m 30 -o "$web_work/$name.body" -w '%{http_code}' "$@" "http://127.0.0.1:$web_port$path")
  body=$(cat "$web_work/$name.body")
}

web_netns_enter() {
  local mode=$1; shift
  [ -z "${ZW_E2E_IN_NETNS:-}" ] || return 0
  if ! unshare -n true 2>/dev/null; then
    [ "$mode" = required ] || return 0
    echo "no network namespace: skipped"
    exit 77
  fi
  exec env ZW_E2E_IN_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$@"
}

# The staged install root at <work dir>/install-root, a session of user
# alice, kestrund with a configuration of its own (on <gateway> when given,
# with one device record) and the installed trellan behind nginx.
web_system_start() {
  local src=$1 build=$2 work=$3 gateway=${4:-}
  install=$work/install-root
  "$src/tests/e2e/stage_install.sh" "$src" "$install" "" "$build"
  session=$(php "$src/tests/e2e/make_session.php" "$install/install/corvale/var/php_sessions" alice)
  if [ -n "$gateway" ]; then
    mkdir -p "$work/kestrund/etc" "$work/kestrund/var/networks"
    echo "$gateway|41231" > "$work/kestrund/var/networks/zip_server.txt"
    echo '{"device_records": [{"vid": 1, "ptype": 2, "pid": 3, "category": 4}]}' > "$work/kestrund/etc/dev.json"
  fi
  kestrund_start "$work" "$build/daemon/kestrund" "$src/avi/zwave.avsc"
  web_stack_start "$work" "$install" "$install/bin/trellan"
}

fail=0
web_test_cleanup() {
  web_stack_stop
  kestrund_stop
  if declare -F sim_stop > /dev/null; then sim_stop; fi
  if [ "$fail" -eq 0 ]; then rm -rf "$1"; else echo "kept $1 for inspection"; fi
}

# check <what> <ok|anything else>: one line per check; any but ok fails the test.
check() { if [ "$2" = ok ]; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }
xml_ok() { printf '%s' "$1" | xmllint --noout - 2>/dev/null && echo ok || { echo "  not XML: $1" >&2; echo bad; }; }
# has: the pattern anywhere in the text; matches: the whole text.
has() { printf '%s' "$1" | grep -qE "$2" && echo ok || { echo "  got: $1" >&2; echo bad; }; }
matches() { printf '%s' "$1" | grep -qE "^$2\$" && echo ok || { echo "  got: $1" >&2; echo bad; }; }
# Asks through $poll_ask (web_get unless the test sets its own) until the
# body matches; leaves the last answer in $body.
poll_ask=web_get
poll_until() { # seconds name path pattern curl args...
  local until=$(( $(date +%s) + $1 )) name=$2 path=$3 pattern=$4; shift 4
  while :; do
    "$poll_ask" "$name" "$path" "$@"
    printf '%s' "$body" | grep -qE "$pattern" && return 0
    [ "$(date +%s)" -lt "$until" ] || return 1
    sleep 0.3
  done
}
# The result of a command that cannot run in a subshell (it sets $body).
ok_if() { if "$@"; then echo ok; else echo bad; fi > "$web_work/ok_if"; }
result() { cat "$web_work/ok_if"; }

# Sanitizer builds report into the programs' error streams.
web_test_finish() {
  local work=$1
  check "no sanitizer report from trellan or kestrund" \
    "$(! grep -qE 'Sanitizer|runtime error:' "$work/nginx/logs/error.log" "$work/kestrund/err.log" && echo ok)"
  if [ "$fail" -ne 0 ]; then
    echo "--- kestrund log"; tail -n 60 "$work/kestrund/err.log" "$work/kestrund/out.log" || true
    echo "--- nginx error log"; grep -v '\[debug\]' "$work/nginx/logs/error.log" | tail -n 40 || true
  fi
  exit "$fail"
}
