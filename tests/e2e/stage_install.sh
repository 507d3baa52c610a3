#!/usr/bin/env bash
# Stages trellan's install root at <install dir> for a test or the demo: the
# web side exactly as `cmake --install` places it (component "web", whose
# root is opt/ below the prefix), then the platform's parts that this project
# does not install (web_stage_platform in web_stack.sh):
#   <dir>/bin/trellan                           VANTOR_INSTALL_PATH (root = bin/..)
#   <dir>/VERSION                               MAJOR/MINOR of the application
#   <dir>/install/corvale/etc/zwave.avsc        the Avro protocol
#   <dir>/install/corvale/htdocs/ui/{eng,stb,pc,phone}/VERSION
#   <dir>/install/php/bin/php -> /usr/bin/php   the PHP interpreter (stand-in)
#   <dir>/install/corvale/auth-cgi-bin/user_name_get.php   session script (stand-in)
#   <dir>/install/corvale/var/php_sessions      its session folder
# Usage: stage_install.sh <source dir> <install dir> [zwave.avsc] [build dir]
# A given zwave.avsc replaces the installed one. The build dir defaults to
# $ZW_BINARY_DIR, which CTest sets for every test.
set -euo pipefail
src=$1
dir=$2
avsc=${3:-}
build=${4:-${ZW_BINARY_DIR:-}}
if [ -z "$build" ] || [ ! -f "$build/cmake_install.cmake" ]; then
  echo "stage_install.sh: no configured build dir '$build' (4th argument or ZW_BINARY_DIR)" >&2
  exit 2
fi
. "$src/tests/e2e/web_stack.sh"

mkdir -p "$dir"
prefix=$(mktemp -d "$dir/../.stage.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
if ! out=$(cmake --install "$build" --component web --prefix "$prefix" 2>&1); then
  printf '%s\n' "$out" >&2
  exit 1
fi
if [ ! -x "$prefix/opt/bin/trellan" ]; then
  echo "stage_install.sh: the install step of $build placed no opt/bin/trellan" >&2
  exit 1
fi
cp -a "$prefix/opt/." "$dir/"
[ -z "$avsc" ] || cp "$avsc" "$dir/install/corvale/etc/zwave.avsc"
web_stage_platform "$src" "$dir"
