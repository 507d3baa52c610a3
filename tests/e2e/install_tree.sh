#!/usr/bin/env bash
# The install step: `cmake --install <build> --prefix <stage>` places every
# file at its path and nothing else, and the installed programs run from
# there: kestrund on its installed default configuration, with the protocol
# file beside it, and morvash on a key file.
# Usage: install_tree.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2

. "$src/tests/e2e/web_stack.sh"
# kestrund's socket name is fixed: a network namespace of our own keeps other
# daemons out.
web_netns_enter optional "$0" "$@"
work=$(mktemp -d "$build/e2e-install.XXXXXX")
stage=$work/stage
trap 'web_test_cleanup "$work"' EXIT

if ! cmake --install "$build" --prefix "$stage" > "$work/install.log" 2>&1; then
  cat "$work/install.log"
  check "cmake --install succeeds" bad
  exit 1
fi

# kind (x executable, f file, d folder) and path below the prefix
expected='
x usr/local/kestrund/bin/kestrund
f usr/local/kestrund/etc/kestrund.conf
f usr/local/kestrund/etc/zwave.avsc
f usr/local/kestrund/etc/dev.json
d usr/local/kestrund/var/networks
x usr/local/bin/morvash
x opt/bin/trellan
f opt/VERSION
f opt/install/corvale/etc/zwave.avsc
f opt/install/corvale/htdocs/ui/eng/VERSION
f opt/install/corvale/htdocs/ui/stb/VERSION
f opt/install/corvale/htdocs/ui/pc/VERSION
f opt/install/corvale/htdocs/ui/phone/VERSION
'
while read -r kind path; do
  [ -n "$kind" ] || continue
  case $kind in
    x) [ -f "$stage/$path" ] && [ -x "$stage/$path" ] ;;
    f) [ -f "$stage/$path" ] && [ ! -x "$stage/$path" ] ;;
    d) [ -d "$stage/$path" ] ;;
  esac && r=ok || r=bad
  check "$kind $path" "$r"
done <<< "$expected"

# Nothing else: no library, header or test program of the build.
extra=$(cd "$stage" && find . -mindepth 1 \( -type f -o -type l \) -printf '%P\n' | sort |
        comm -23 - <(awk 'NF && $1 != "d" { print $2 }' <<< "$expected" | sort))
check "no other file installed${extra:+: $extra}" "$([ -z "$extra" ] && echo ok)"

for avsc in usr/local/kestrund/etc/zwave.avsc opt/install/corvale/etc/zwave.avsc; do
  check "$avsc is the protocol file of the source" "$(cmp -s "$src/avi/zwave.avsc" "$stage/$avsc" && echo ok)"
done
# trellan takes MAJOR and MINOR from lines ended by CR LF.
check "VERSION holds MAJOR and MINOR lines ended by CR LF" \
  "$(od -An -c "$stage/opt/VERSION" | tr -d ' \n' | grep -qE '^MAJOR=[0-9]+\\r\\nMINOR=[0-9]+\\r\\n$' && echo ok)"

# With no -f the daemon reads its compiled-in path: the installed
# configuration file's place below the prefix.
conf=/usr/local/kestrund/etc/kestrund.conf
if [ -e "$conf" ]; then
  echo "skip the default path check: $conf exists on this machine"
else
  set +e
  "$stage/usr/local/kestrund/bin/kestrund" > "$work/default.log" 2>&1 < /dev/null
  status=$?
  set -e
  check "kestrund without -f fails on the absent $conf (status $status)" \
    "$([ "$status" = 1 ] && grep -qF "Failed to read configuration file $conf:" "$work/default.log" && echo ok)"
  check "and $conf is where the install step put it" "$([ -f "$stage$conf" ] && echo ok)"
fi

# The installed default configuration is complete: the daemon starts on it,
# finds the protocol file beside it, and takes connections on its socket.
if kestrund_start "$work" "$stage/usr/local/kestrund/bin/kestrund" "" "$stage$conf"; then r=ok; else r=bad; fi
check "kestrund starts on the installed configuration" "$r"
check "every key of it read without a warning" \
  "$(! grep -E 'Failed to lookup|Failed to read|out of valid range|Unknown log level' \
       "$work/kestrund/out.log" "$work/kestrund/err.log" && echo ok)"
kestrund_stop
check "no sanitizer report from kestrund" \
  "$(! grep -qE 'Sanitizer|runtime error:' "$work/kestrund/out.log" "$work/kestrund/err.log" && echo ok)"

# morvash as installed: sets one key and reads it back.
keyfile=$work/keys.conf
printf '[network]\ngateway=10.0.0.1\n' > "$keyfile"
"$stage/usr/local/bin/morvash" "$keyfile" network port 4123 > /dev/null
check "the installed morvash sets a key and reads it back" \
  "$(grep -qx 'port=4123' "$keyfile" &&
     "$stage/usr/local/bin/morvash" "$keyfile" network port | grep -q 'key: port value: 4123$' && echo ok)"

exit $fail
