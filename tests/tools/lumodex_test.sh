#!/usr/bin/env bash
# Starting lumodex as an administrator does: a missing or wrong document
# root stops it with a clear message, a missing data directory is worth a
# warning, IPv6 addresses (bracketed or not) and the dual-stack "::" are
# taken. Messages speak of the server, not of its classes.
# Argument: the lumodex executable.
set -u
dex=$1
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/test_lib.sh"
test_begin
mkdir -p "$work/root" "$work/data" "$work/home"
printf 'page' > "$work/root/page.html"
printf 'not a directory' > "$work/file"

no_class_names() {  # no_class_names NAME FILE
  ! grep -qE '[A-Za-z]+::[A-Za-z]' "$2" || { fail "$1: a class name in:"; cat "$2"; }
}
refused() {  # refused NAME EXPECTED-TEXT LUMODEX-ARGUMENTS...
  local name=$1 text=$2
  shift 2
  timeout 20 "$dex" --port 0 "$@" > "$work/out" 2> "$work/err"
  check "$name" 1 $?
  contains "$name" "$work/err" "$text"
  no_class_names "$name" "$work/err"
}

refused "missing root" "the document root '$work/nowhere' cannot be used: No such file or directory" \
  --root "$work/nowhere" --data "$work/data"
refused "root is a file" "the document root '$work/file' is not a directory" \
  --root "$work/file" --data "$work/data"
# The default root, under a home that has none.
refused "default root" "the document root '$HOME/LumoDex/html'" --data "$work/data"
refused "no address" "'localhost' is not an IPv4 or IPv6 address" \
  --root "$work/root" --data "$work/data" --address localhost
refused "bad IPv6" "'[::1' is not an IPv4 or IPv6 address" \
  --root "$work/root" --data "$work/data" --address '[::1'

# A missing data directory: a warning, and the server runs.
start_dex warn --root "$work/root" --data "$work/nodata" || exit 1
contains "data warning" "$work/warn.err" "warning: the data directory '$work/nodata'"
no_class_names "data warning" "$work/warn.err"
[ "$(curl -s --max-time 5 --noproxy '*' "http://127.0.0.1:$port/page.html")" = "page" ] ||
  fail "served without a data directory"
stop_server

if [ -r /proc/net/if_inet6 ] && grep -q '^0\{31\}1 ' /proc/net/if_inet6; then
  for address in '::1' '[::1]'; do
    start_dex "v6" --root "$work/root" --data "$work/data" --address "$address" || continue
    contains "banner for $address" "$work/v6.out" "http://[::1]:$port/"
    [ "$(curl -s -g --max-time 5 --noproxy '*' "http://[::1]:$port/page.html")" = "page" ] ||
      fail "$address: IPv6 client"
    curl -s --max-time 2 --noproxy '*' "http://127.0.0.1:$port/page.html" > /dev/null &&
      fail "$address: an IPv4 client got through"
    stop_server
  done
  start_dex "dual" --root "$work/root" --data "$work/data" --address '::' || exit 1
  [ "$(curl -s -g --max-time 5 --noproxy '*' "http://[::1]:$port/page.html")" = "page" ] ||
    fail ":: with an IPv6 client"
  [ "$(curl -s --max-time 5 --noproxy '*' "http://127.0.0.1:$port/page.html")" = "page" ] ||
    fail ":: with an IPv4 client"
  stop_server
else
  echo "no IPv6 loopback: IPv6 checks skipped"
fi

test_end "lumodex start-up: all checks passed"
