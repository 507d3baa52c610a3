#!/usr/bin/env bash
# Stages the install tree that trellan expects below its install root:
#   <dir>/bin                                   VANTOR_INSTALL_PATH (root = bin/..)
#   <dir>/VERSION                               MAJOR/MINOR of the application
#   <dir>/install/corvale/etc/zwave.avsc        the Avro protocol
#   <dir>/install/php/bin/php -> /usr/bin/php   the PHP interpreter
#   <dir>/install/corvale/auth-cgi-bin/user_name_get.php   session script stand-in
#   <dir>/install/corvale/var/php_sessions      its session folder
#   <dir>/install/corvale/htdocs/ui/{eng,stb,pc,phone}/VERSION
# Usage: stage_install.sh <source dir> <install dir> [zwave.avsc]
set -euo pipefail
src=$1
dir=$2
avsc=${3:-$src/avi/zwave.avsc}
mkdir -p "$dir/bin" "$dir/install/corvale/etc" "$dir/install/php/bin" \
         "$dir/install/corvale/auth-cgi-bin" "$dir/install/corvale/var/php_sessions"
chmod 700 "$dir/install/corvale/var/php_sessions"
printf 'MAJOR=1\r\nMINOR=0\r\n' > "$dir/VERSION"
for ui in eng stb pc phone; do
  mkdir -p "$dir/install/corvale/htdocs/ui/$ui"
  printf '1.0.0\n' > "$dir/install/corvale/htdocs/ui/$ui/VERSION"
done
cp "$avsc" "$dir/install/corvale/etc/zwave.avsc"
ln -sfn /usr/bin/php "$dir/install/php/bin/php"
cp "$src/service/php/user_name_get.php" "$dir/install/corvale/auth-cgi-bin/user_name_get.php"
