#!/usr/bin/env bash
# trellan behind nginx (spawn-fcgi) with curl, the real PHP interpreter and a
# real PHP session; the IFTTT entry also through cgi-fcgi. Every XML answer
# must pass xmllint. Usage: trellan_web_e2e.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2
trellan=$build/service/trellan
work=$(mktemp -d "$build/e2e-web.XXXXXX")
install=$work/install-root
fail=0
. "$src/tests/e2e/web_stack.sh"

cleanup() {
  web_stack_stop
  if [ "$fail" -eq 0 ]; then rm -rf "$work"; else echo "kept $work for inspection"; fi
}
trap cleanup EXIT

check() { # name, condition result
  if [ "$2" = ok ]; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}

"$src/tests/e2e/stage_install.sh" "$src" "$install"
session=$(php "$src/tests/e2e/make_session.php" "$install/install/corvale/var/php_sessions" alice)

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
sleep 0.2
check "session cookie: resolved to its user" \
  "$(grep -q "User Name from Session: 'alice'" "$work/nginx/logs/error.log" && echo ok)"

get badsession /zwave/networks/01-02-03-04-05-06-07-08/zwnet_get_node_list -b "PHPSESSID=nosuchsession1"
check "unknown session, no user: 403" "$([ "$code" = 403 ] && echo ok)"

get root /zwave/networks
check "/networks alone: header only" "$([ "$code" = 200 ] && [ -z "$body" ] && echo ok)"

get unknown /zwave/other/x/y
check "unknown client: empty error document" "$([ "$body" = "$empty_error" ] && echo ok)"

get post /zwave/networks/01/zwif_basic -b "PHPSESSID=$session" --data-binary 'cmd=2&ifd=`id`'
check "backtick body: empty error document" "$([ "$body" = "$empty_error" ] && echo ok)"

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
exit $fail
