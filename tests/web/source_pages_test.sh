#!/usr/bin/env bash
# Pages requested as sources (.lum): compiled on first use and run, compiled
# again once they or a part they include change, their faults shown as an
# encoded page, and never sent as text, also when compiling is switched off.
# Argument: the lumodex executable.
set -u
dex=$1
work=$(mktemp -d)
server=""
# shellcheck disable=SC2317  # run by the trap
stop() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null
    wait "$server" 2>/dev/null
    server=""
  fi
}
trap 'stop; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL $*"
  failures=$((failures + 1))
}
contains() {  # contains NAME TEXT
  grep -qF -- "$2" "$work/body" || { fail "$1: '$2' not in:"; cat "$work/body"; }
}
lacks() {  # lacks NAME TEXT
  ! grep -qF -- "$2" "$work/body" || fail "$1: '$2' is in the response"
}
start() {  # start CONFIG-FILE
  "$dex" --config "$1" --address 127.0.0.1 --port 0 --root "$work/root" --data "$work/data" \
    > "$work/dex.out" 2> "$work/dex.err" &
  server=$!
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's|^Lumo Dex serving http://[^:]*:\([0-9]*\)/.*|\1|p' "$work/dex.out")
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "FAIL lumodex did not start:"; cat "$work/dex.out" "$work/dex.err"
  exit 1
}
get() {  # get PATH: the body in $work/body, the status line in $work/status
  exec 3<> "/dev/tcp/127.0.0.1/$port" || { fail "cannot connect"; return 1; }
  printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "$1" >&3
  cat <&3 > "$work/response"
  exec 3<&-
  head -n 1 "$work/response" | tr -d '\r' > "$work/status"
  sed '1,/^\r$/d' "$work/response" > "$work/body"
}

mkdir -p "$work/root/parts" "$work/data" "$work/home" "$work/secret"
export HOME="$work/home"
printf '<LmASSIGN var="password" value="'"'"'hunter2'"'"'">\n<LmINCLUDE file="parts/top.lum">\n{{ greeting }}, {{ name }}!\n' \
  > "$work/root/page.lum"
printf '<LmASSIGN var="greeting" value="'"'"'Hello'"'"'">\n' > "$work/root/parts/top.lum"
printf 'TOPSECRET\n' > "$work/secret/part.lum"
printf '<LmINCLUDE file="../secret/part.lum">\n' > "$work/root/escape.lum"
printf '<p>\n<LmIF test="1">{{ <b> }}\n' > "$work/root/broken.lum"
: > "$work/on.conf"
printf 'compilesources = 0\n' > "$work/off.conf"

start "$work/on.conf"
get '/page.lum?x'
contains "compiled page" "Hello, !"
lacks "compiled page" "hunter2"
get '/page.lum'
contains "again" "Hello, !"

# A changed part is seen on the next request.
printf '<LmASSIGN var="greeting" value="'"'"'Good day'"'"'">\n' > "$work/root/parts/top.lum"
get '/page.lum'
contains "changed part" "Good day, !"

# Faults: the messages, encoded, and the source's bytes only inside them.
get '/broken.lum'
contains "compile error" "Unable to compile '/broken.lum'"
contains "compile error" "broken.lum:2:18: Invalid Argument '&lt;' Found in expression"
contains "compile error encoded" "{{ &lt;b&gt; }}"
lacks "compile error raw" "<b>"

# Parts outside the script directory are not found.
get '/escape.lum'
contains "escape" "cannot find the included file '../secret/part.lum'"
lacks "escape" "TOPSECRET"

# LmDO names pages too, compiled through the same cache.
printf '<LmDO file="parts/lib.lum" call="twice(21)" var="n">\n{{ n }}\n' > "$work/root/do.lum"
printf '<LmFUNCTION name="twice(x)"><LmFUNCTIONRETURN value="x * 2"></LmFUNCTION>\n' \
  > "$work/root/parts/lib.lum"
get '/do.lum'
contains "LmDO of a page" "42"

# Switched off: not found, and never the source.
stop
start "$work/off.conf"
get '/page.lum'
grep -q " 404 " "$work/status" || fail "switched off: $(cat "$work/status"), expected 404"
lacks "switched off" "hunter2"
lacks "switched off" "LmASSIGN"
stop

[ "$failures" = 0 ] && echo "source pages: all checks passed"
[ "$failures" = 0 ]
