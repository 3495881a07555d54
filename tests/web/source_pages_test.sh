#!/usr/bin/env bash
# Pages requested as sources (.lum): compiled on first use and run, compiled
# again once they or a part they include change, their faults shown as an
# encoded page, and never sent as text, also when compiling is switched off.
# Argument: the lumodex executable.
set -u
dex=$1
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/../tools/test_lib.sh"
test_begin
start() {  # start CONFIG-FILE
  start_dex dex --config "$1" --root "$work/root" --data "$work/data" || exit 1
}

mkdir -p "$work/root/parts" "$work/data" "$work/home" "$work/secret"
printf '<LmASSIGN var="password" value="'"'"'hunter2'"'"'">\n<LmINCLUDE file="parts/top.lum">\n{{ greeting }}, {{ name }}!\n' \
  > "$work/root/page.lum"
printf '<LmASSIGN var="greeting" value="'"'"'Hello'"'"'">\n' > "$work/root/parts/top.lum"
printf 'TOPSECRET\n' > "$work/secret/part.lum"
printf '<LmINCLUDE file="../secret/part.lum">\n' > "$work/root/escape.lum"
printf '<p>\n<LmIF test="1">{{ <b> }}\n' > "$work/root/broken.lum"
: > "$work/on.conf"
printf 'compilesources = 0\n' > "$work/off.conf"

start "$work/on.conf"
http_get '/page.lum?x'
contains "compiled page" "$work/body" "Hello, !"
lacks "compiled page" "$work/body" "hunter2"
http_get '/page.lum'
contains "again" "$work/body" "Hello, !"

# A changed part is seen on the next request.
printf '<LmASSIGN var="greeting" value="'"'"'Good day'"'"'">\n' > "$work/root/parts/top.lum"
http_get '/page.lum'
contains "changed part" "$work/body" "Good day, !"

# Faults: the messages, encoded, and the source's bytes only inside them.
http_get '/broken.lum'
contains "compile error" "$work/body" "Unable to compile '/broken.lum'"
contains "compile error" "$work/body" "broken.lum:2:18: Invalid Argument '&lt;' Found in expression"
contains "compile error encoded" "$work/body" "{{ &lt;b&gt; }}"
lacks "compile error raw" "$work/body" "<b>"

# Parts outside the script directory are not found.
http_get '/escape.lum'
contains "escape" "$work/body" "cannot find the included file '../secret/part.lum'"
lacks "escape" "$work/body" "TOPSECRET"

# LmDO names pages too, compiled through the same cache.
printf '<LmDO file="parts/lib.lum" call="twice(21)" var="n">\n{{ n }}\n' > "$work/root/do.lum"
printf '<LmFUNCTION name="twice(x)"><LmFUNCTIONRETURN value="x * 2"></LmFUNCTION>\n' \
  > "$work/root/parts/lib.lum"
http_get '/do.lum'
contains "LmDO of a page" "$work/body" "42"

# Switched off: not found, and never the source.
stop_server
start "$work/off.conf"
http_get '/page.lum'
grep -q " 404 " "$work/status" || fail "switched off: $(cat "$work/status"), expected 404"
lacks "switched off" "$work/body" "hunter2"
lacks "switched off" "$work/body" "LmASSIGN"
stop_server

test_end "source pages: all checks passed"
