#!/usr/bin/env bash
# trellan behind nginx (spawn-fcgi) with curl, the real PHP interpreter and a
# real PHP session; the IFTTT entry also through cgi-fcgi. Every XML answer
# must pass xmllint. Usage: trellan_web_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

# With kestrund in the build the daemon answers too; its socket name is
# fixed, so a network namespace of our own keeps other daemons out (loopback
# must be brought up in it).
if [ -z "${ZW_E2E_IN_NETNS:-}" ] && unshare -n true 2>/dev/null; then
  exec env ZW_E2E_IN_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' "$0" "$@"
fi
work=$(mktemp -d "$build/e2e-web.XXXXXX")
install=$work/install-root
fail=0
. "$src/tests/e2e/web_stack.sh"

cleanup() {
  web_stack_stop
  kestrund_stop
  if [ "$fail" -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection"; fi
}
trap cleanup EXIT

check() { # name, condition result
  if [ "$2" = ok ]; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}

"$src/tests/e2e/stage_install.sh" "$src" "$install" "" "$build"
session=$(php "$src/tests/e2e/make_session.php" "$install/install/corvale/var/php_sessions" alice)

trellan=$install/bin/trellan
web_stack_start "$work" "$install" "$trellan"
port=$web_port
trellan_pid=$web_trellan_pid

# get <name> <path> [curl args...]: sets code and body
get() {
  local name=$1 path=$2; shift 2
  code=$(curl -s -o "$work/$name.body" -w '%{http_code}' "$@" "http://127.0.0.1:$port$path")
  body=$(cat "$work/$name.body")
}
xml_ok() { printf '%s' "$1" | xmllint --noout - 2>/dev/null && echo ok || echo bad; }

empty_error='<?xml version="1.0"?><zwave><error></error></zwave>'

get nocommand /zwave/networks/01-02-03-04-05-06-07-08
check "no command: empty error document" "$([ "$code" = 200 ] && [ "$body" = "$empty_error" ] && echo ok)"
check "no command: well-formed" "$(xml_ok "$body")"

get forbidden /zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list
check "no cookie, no user: 403 without a document" "$([ "$code" = 403 ] && [ -z "$body" ] && echo ok)"

# No auth_basic runs here, so a Basic header must not name a user.
get basic /zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list -u carol:x
check "basic credentials, no cookie: 403 without a document" "$([ "$code" = 403 ] && [ -z "$body" ] && echo ok)"

get session /zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list -b "theme=x; PHPSESSID=$session"
check "session cookie: request runs (no 403)" "$([ "$code" = 200 ] && echo ok)"
check "session cookie: well-formed" "$(xml_ok "$body")"
# nginx writes its log on its own time: wait for the line, with a deadline.
logged() { # text: the nginx error log shows it within 10 s
  for _ in $(seq 100); do grep -qF "$1" "$work/nginx/logs/error.log" && return 0; sleep 0.1; done
  return 1
}
check "session cookie: resolved to its user" "$(logged "User Name from Session: 'alice'" && echo ok)"

get badsession /zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list -b "PHPSESSID=nosuchsession1"
check "unknown session, no user: 403" "$([ "$code" = 403 ] && echo ok)"

get root /zwave/networks
check "/networks alone: the empty error document" "$([ "$code" = 200 ] && [ "$body" = "$empty_error" ] && echo ok)"
check "/networks alone: well-formed" "$(xml_ok "$body")"

get unknown /zwave/other/x/y
check "unknown client: empty error document" "$([ "$body" = "$empty_error" ] && echo ok)"

get post /zwave/networks/01/zwif_basic -b "PHPSESSID=$session" --data-binary 'cmd=2&ifd=`id`'
check "backtick body: empty error document" "$([ "$body" = "$empty_error" ] && echo ok)"

# A form of 10,000 pairs (40 KB) is refused with the error document, not a
# 502: nothing the request logs may reach nginx ahead of the answer.
python3 -c "print('&'.join(['a=b'] * 10000), end='')" > "$work/big.form"
get bigform /zwave/networks/01/zw_version -b "PHPSESSID=$session" --data-binary "@$work/big.form"
check "10,000 pairs: 200 with the empty error document" \
  "$([ "$code" = 200 ] && [ "$body" = "$empty_error" ] && echo ok)"
check "10,000 pairs: no oversized header at nginx" \
  "$(! grep -q 'too big header' "$work/nginx/logs/error.log" && echo ok)"

# fcgi <name> <body> NAME=VALUE...: one FastCGI request straight to trellan's
# socket; writes the record types in arrival order to <name>.order (O
# stdout, E stderr), and the two streams to <name>.out and <name>.err.
fcgi() {
  local name=$1 body=$2; shift 2
  python3 - "$work/trellan.sock" "$work/$name" "$body" "$@" <<'PY'
import socket, struct, sys
sock_path, out, body = sys.argv[1], sys.argv[2], sys.argv[3].encode()
def record(kind, content):
    pad = (8 - len(content) % 8) % 8
    return struct.pack(">BBHHBx", 1, kind, 1, len(content), pad) + content + b"\0" * pad
def length(n):
    return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
params = b""
for pair in sys.argv[4:] + [f"CONTENT_LENGTH={len(body)}"]:
    key, value = (part.encode() for part in pair.split("=", 1))
    params += length(len(key)) + length(len(value)) + key + value
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(30)
s.connect(sock_path)
s.sendall(record(1, struct.pack(">HB5x", 1, 0)) + record(4, params) + record(4, b"")
          + (record(5, body) if body else b"") + record(5, b""))
data, order, streams = b"", "", {6: b"", 7: b""}
while True:
    while len(data) < 8 or len(data) < 8 + struct.unpack(">H", data[4:6])[0] + data[6]:
        more = s.recv(65536)
        if not more:
            raise SystemExit("connection closed before the end of the request")
        data += more
    kind, size, pad = data[1], struct.unpack(">H", data[4:6])[0], data[6]
    content, data = data[8:8 + size], data[8 + size + pad:]
    if kind == 3:
        break
    if kind in streams and content:
        order += "O" if kind == 6 else "E"
        streams[kind] += content
open(out + ".order", "w").write(order)
open(out + ".out", "wb").write(streams[6])
open(out + ".err", "wb").write(streams[7])
PY
}
cgi_env="REQUEST_METHOD=GET CONTEXT_PREFIX=/zwave VANTOR_INSTALL_PATH=$install/bin"

# The answer comes before anything the request logged, whatever it logged.
# shellcheck disable=SC2086
fcgi order "" $cgi_env REQUEST_URI=/zwave/networks/01/zw_version REMOTE_USER=dave
check "the answer precedes the request's log on the FastCGI connection" \
  "$(grep -qE '^O+E+$' "$work/order.order" && echo ok || { echo "  order: $(cat "$work/order.order")" >&2; echo bad; })"
check "the request's log reached the error stream" "$(grep -q "User Name (effective): 'dave'" "$work/order.err" && echo ok)"

# A name from outside with a line end in it cannot forge a log line.
# shellcheck disable=SC2086
fcgi forge "" $cgi_env REQUEST_URI=/zwave/networks/01/zw_version "REMOTE_USER=eve
[error] forged"
check "line end in a logged text is escaped" \
  "$(grep -qF "User Name from REMOTE_USER: 'eve\\n[error] forged'" "$work/forge.err" && \
     ! grep -q '^\[error\] forged' "$work/forge.err" && echo ok)"

# IFTTT: an empty answer (no header, no body); nginx may call that a 502,
# so the FastCGI answer itself is read with cgi-fcgi.
ifttt=$(env -i REQUEST_URI=/zwave/ifttt/trigger CONTEXT_PREFIX=/zwave REMOTE_USER=carol REQUEST_METHOD=GET \
  VANTOR_INSTALL_PATH="$install/bin" cgi-fcgi -bind -connect "$work/trellan.sock" 2>/dev/null | od -An -c | tr -d ' \n')
check "ifttt through cgi-fcgi: empty answer" "$([ -z "$ifttt" ] && echo ok)"
noifttt=$(env -i REQUEST_URI=/zwave/ifttt/trigger CONTEXT_PREFIX=/zwave REQUEST_METHOD=GET \
  VANTOR_INSTALL_PATH="$install/bin" cgi-fcgi -bind -connect "$work/trellan.sock" 2>/dev/null)
check "ifttt without user: empty error document" "$(printf '%s' "$noifttt" | grep -qF "$empty_error" && echo ok)"

# Many requests in one process: the user of one request never leaks into the
# next, and the process keeps serving.
soak_bad=0
for i in $(seq 60); do
  get soak1 /zwave/networks/01/zwnet_get_node_list -b "PHPSESSID=$session"
  [ "$code" = 200 ] || soak_bad=1
  get soak2 /zwave/networks/01/zwnet_get_node_list
  [ "$code" = 403 ] || soak_bad=1
done
check "120 alternating requests in one process" "$([ "$soak_bad" = 0 ] && echo ok)"

check "trellan still running" "$(kill -0 "$trellan_pid" 2>/dev/null && echo ok)"

# With the daemon: valid zw_info requests through nginx are all answered
# (with a sanitizer build too, whose slower process once let log records
# ahead of the answer fill nginx's header buffer).
if [ -x "$build/daemon/kestrund" ]; then
  kestrund_start "$work" "$build/daemon/kestrund" "$src/avi/zwave.avsc"
  info_bad=0
  for i in $(seq 40); do
    get info$i /zwave/networks/01-02-03-04-05-06-07-08/zw_info -b "PHPSESSID=$session"
    if [ "$code" != 200 ] || [ "$(xml_ok "$body")" != ok ] || ! printf '%s' "$body" | grep -q '<zw_info '; then
      info_bad=$((info_bad + 1))
    fi
  done
  check "40 zw_info requests through nginx: all 200 with the summary" "$([ "$info_bad" = 0 ] && echo ok)"
  kestrund_stop
fi

# SIGTERM while trellan waits for a request ends it; a web server's process
# manager relies on that.
kill -TERM "$trellan_pid"
ended=bad
for _ in $(seq 100); do kill -0 "$trellan_pid" 2>/dev/null || { ended=ok; break; }; sleep 0.1; done
check "SIGTERM while waiting for a request ends trellan" "$ended"
if [ "$ended" = ok ]; then
  check "trellan ended through its shut-down path" \
    "$(grep -q "Exiting current process with" "$work/trellan.stderr" && echo ok)"
fi
# Sanitizer builds report into trellan's standard error or the request's log.
check "no sanitizer report from trellan" \
  "$(! grep -qE 'Sanitizer|runtime error:' "$work/trellan.stderr" "$work/nginx/logs/error.log" && echo ok)"
exit $fail
