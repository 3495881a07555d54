# shellcheck shell=bash
# Sourced by the shell tests: a scratch directory removed on exit, failure
# counting, the assertions, and a lumodex started on a free port.
# After `test_begin`: $work (scratch, also $HOME's parent), $failures,
# $server (the running lumodex's pid, or empty) and $port. start_dex runs
# the caller's $dex.

test_begin() {
  work=$(mktemp -d)
  server=""
  port=""
  failures=0
  trap 'stop_server; rm -rf "$work"' EXIT
  # No configuration file of the user running the tests may leak in.
  export HOME="$work/home"
  unset LUMODEX_CONFIG
}

fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}

check() {  # check NAME EXPECTED-STATUS ACTUAL-STATUS
  [ "$2" = "$3" ] || fail "$1: exit status $3, expected $2"
}
contains() {  # contains NAME FILE TEXT
  grep -qF -- "$3" "$2" || { fail "$1: '$3' not in:"; cat "$2"; }
}
lacks() {  # lacks NAME FILE TEXT
  ! grep -qF -- "$3" "$2" || fail "$1: '$3' is in $2"
}
same() {  # same NAME FILE TEXT
  [ "$(cat "$2")" = "$3" ] || { fail "$1: expected '$3', got:"; cat "$2"; }
}

# need_browser MODULES: headless Chromium and node with playwright-core
# (installed from npm into MODULES when missing), or the test is skipped
# (77). Sets $chromium.
need_browser() {
  chromium=${CHROMIUM:-/usr/bin/chromium}
  [ -x "$chromium" ] || { echo "no chromium: skipped"; exit 77; }
  command -v node >/dev/null || { echo "no node: skipped"; exit 77; }
  if [ ! -d "$1/node_modules/playwright-core" ]; then
    mkdir -p "$1"
    npm install --prefix "$1" --no-audit --no-fund --save-exact playwright-core@1.65.2 \
      >/dev/null 2>&1 || { echo "playwright-core not available: skipped"; exit 77; }
  fi
}

# test_end MESSAGE: the verdict and the exit status.
test_end() {
  if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "$1"
  exit 0
}

# shellcheck disable=SC2317  # also run by the trap
stop_server() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    server=""
  fi
}

# start_dex NAME [COMMAND PREFIX... --] LUMODEX-ARGUMENTS...: $dex on a
# port of the system's choosing, read back from its banner into $port (on
# 127.0.0.1 unless the arguments give another --address); its
# output in $work/NAME.out and $work/NAME.err. Port 0 keeps tests that run
# side by side from fighting over one port. False (one failure counted)
# when it does not come up within ten seconds.
start_dex() {
  local name=$1
  shift
  local prefix=()
  if [[ " $* " == *" -- "* ]]; then
    while [ "$1" != "--" ]; do
      prefix+=("$1")
      shift
    done
    shift
  fi
  # Made here, not by the background job's redirection, which may come
  # after the first look below.
  : > "$work/$name.out"
  # shellcheck disable=SC2154  # set by the calling test
  "${prefix[@]}" "$dex" --address 127.0.0.1 --port 0 "$@" \
    > "$work/$name.out" 2> "$work/$name.err" &
  server=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^Lumo Dex serving http://.*:\([0-9][0-9]*\)/ from .*|\1|p' "$work/$name.out")
    [ -n "$port" ] && return 0
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  fail "$name: lumodex did not start:"
  cat "$work/$name.out" "$work/$name.err"
  stop_server
  return 1
}

# http_send FILE: the request in FILE to the server; the response in
# $work/response, its status line in $work/status, its body in $work/body
# (empty when there is none).
http_send() {
  : > "$work/body"
  exec 3<> "/dev/tcp/127.0.0.1/$port" || { fail "cannot connect to port $port"; return 1; }
  cat "$1" >&3
  timeout 60 cat <&3 > "$work/response"
  exec 3<&-
  head -n 1 "$work/response" | tr -d '\r' > "$work/status"
  sed '1,/^\r$/d' "$work/response" > "$work/body"
}
http_get() {  # http_get PATH [HEADER LINE...]
  local path=$1
  shift
  {
    printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n' "$path"
    for h in "$@"; do printf '%s\r\n' "$h"; done
    printf '\r\n'
  } > "$work/request"
  http_send "$work/request"
}
