#!/usr/bin/env bash
# lumodex under the signals an administrator sends: SIGHUP after the access
# log was renamed away (log rotation) makes a new log at the configured
# name with no request lost or logged twice, and rereads the
# configuration; SIGTERM lets a running program finish its response and
# exits 0.
# Argument: the lumodex executable.
set -u
dex=$1
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/test_lib.sh"
command -v curl > /dev/null || { echo "curl not installed: skipped"; exit 77; }
test_begin
mkdir -p "$work/root" "$work/data" "$work/home"
printf 'page' > "$work/root/page.html"
printf 'before {{ sleep(2) }} after\n' > "$work/root/slow.lum"
printf 'accesslog = access.log\n' > "$work/dex.conf"
log="$work/data/access.log"

fetch() {  # fetch PATH: the body, or nothing
  curl -s --max-time 20 --noproxy '*' "http://127.0.0.1:$port$1"
}
# logged FILE TEXT: whether TEXT reaches FILE within 5 s. The server writes
# a request's line once the answer has gone, so a client may read the whole
# answer before the line is there.
logged() {
  for _ in $(seq 50); do
    grep -q -- "$2" "$1" 2> /dev/null && return 0
    sleep 0.1
  done
  return 1
}

# --- Rotation ---------------------------------------------------------------
start_dex rotate --config "$work/dex.conf" --root "$work/root" --data "$work/data" || exit 1
for i in $(seq 1 20); do fetch "/page.html?n=$i" > /dev/null; done
# Requests keep coming while the log is renamed and the signal arrives.
(for i in $(seq 21 120); do fetch "/page.html?n=$i" > /dev/null; done) &
client=$!
sleep 0.3
mv "$log" "$log.1"
kill -HUP "$server"
wait "$client"
for _ in $(seq 50); do
  grep -q 'configuration reloaded' "$work/rotate.out" && break
  sleep 0.1
done
contains "reload reported" "$work/rotate.out" "configuration reloaded"
for i in $(seq 121 130); do fetch "/page.html?n=$i" > /dev/null; done
logged "$log" 'n=130 ' || fail "the last request is not in the new log"
[ -f "$log" ] || fail "no new log after SIGHUP"
[ -f "$log.1" ] || fail "the renamed log is gone"
for i in $(seq 1 130); do
  count=$(cat "$log.1" "$log" 2> /dev/null | grep -c "\"GET /page.html?n=$i HTTP/1.1\" 200 4 ")
  [ "$count" = 1 ] || fail "request $i logged $count times"
done
grep -q 'n=1 ' "$log.1" || fail "the first request is not in the renamed log"
# A line in the combined format, as the curl client sent it.
grep -qE '^127\.0\.0\.1 - - \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9:]{8} [+-][0-9]{4}\] "GET /page.html\?n=130 HTTP/1.1" 200 4 "-" "curl/[^"]*"$' \
  "$log" || { fail "not a combined line:"; tail -n 1 "$log"; }

# The reload takes a changed configuration: the log moves elsewhere.
printf 'accesslog = other.log\n' > "$work/dex.conf"
kill -HUP "$server"
for _ in $(seq 50); do
  [ "$(grep -c 'configuration reloaded' "$work/rotate.out")" = 2 ] && break
  sleep 0.1
done
fetch "/page.html?moved" > /dev/null
logged "$work/data/other.log" 'moved' || fail "the reloaded setting was not taken"
lacks "old log after the move" "$log" "moved"

# A log that cannot be opened at reload: a warning, and the server serves.
printf 'accesslog = %s/no/such/dir/x.log\n' "$work" > "$work/dex.conf"
kill -HUP "$server"
for _ in $(seq 50); do
  grep -q 'warning: access log' "$work/rotate.err" && break
  sleep 0.1
done
contains "warning at reload" "$work/rotate.err" "$work/no/such/dir/x.log"
[ "$(fetch /page.html)" = "page" ] || fail "no answer after a failed reopen"
stop_server

# --- Termination ------------------------------------------------------------
printf 'accesslog = access.log\n' > "$work/dex.conf"
start_dex term --config "$work/dex.conf" --root "$work/root" --data "$work/data" || exit 1
fetch "/slow.lum" > /dev/null  # compiled once, so the next run starts at once
curl -s --max-time 20 --noproxy '*' -o "$work/slow.body" -w '%{http_code}' \
  "http://127.0.0.1:$port/slow.lum?last" > "$work/slow.code" &
client=$!
sleep 0.8
kill -TERM "$server"
wait "$server"
check "exit status after SIGTERM" 0 $?
server=""
wait "$client"
same "slow request status" "$work/slow.code" "200"
contains "slow request completed" "$work/slow.body" "before 1 after"
grep -q '"GET /slow.lum?last HTTP/1.1" 200 ' "$log" || fail "the finished request is not logged"
test_end "lumodex signals: all checks passed"
