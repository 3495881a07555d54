#!/usr/bin/env bash
# Escaping seen by a real browser: lumodex serves two pages compiled from
# source that print a query argument, a cookie and a form field holding
# <script>, quotes, & and bytes above 0x7F, escaped ({{ }}) and raw
# ({{{ }}}); headless Chromium (tests/web/browser_escape.js) checks what the
# visitor's browser makes of them. Needs chromium and node 20 with
# playwright-core (npm, installed into the build directory when missing);
# without them the test is skipped (77).
# Arguments: the lumodex executable and a directory for node modules.
set -u
dex=$1
modules=$2
here=$(cd "$(dirname "$0")" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || { echo "no chromium: skipped"; exit 77; }
command -v node >/dev/null || { echo "no node: skipped"; exit 77; }
if [ ! -d "$modules/node_modules/playwright-core" ]; then
  mkdir -p "$modules"
  npm install --prefix "$modules" --no-audit --no-fund --save-exact playwright-core@1.65.2 \
    >/dev/null 2>&1 || { echo "playwright-core not available: skipped"; exit 77; }
fi
work=$(mktemp -d)
server=""
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  if [ -n "$server" ]; then
    kill -TERM "$server" 2>/dev/null
    wait "$server" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/root" "$work/data" "$work/home"
export HOME="$work/home"
unset LUMODEX_CONFIG
for kind in escaped raw; do
  if [ "$kind" = escaped ]; then open='{{'; close='}}'; else open='{{{'; close='}}}'; fi
  cat > "$work/root/$kind.lum" <<PAGE
<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>$kind</title></head><body>
<p id="arg">$open arg2 $close</p>
<p id="field">$open f $close</p>
<p id="cookie">$open http_Cookie $close</p>
<form method="post" action="$kind.lum"><input id="f" name="f"><button id="send">Send</button></form>
</body></html>
PAGE
done
"$dex" --address 127.0.0.1 --port 0 --root "$work/root" --data "$work/data" \
  > "$work/dex.out" 2> "$work/dex.err" &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|^Lumo Dex serving http://[^:]*:\([0-9]*\)/.*|\1|p' "$work/dex.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "FAIL lumodex did not start"; cat "$work/dex.err"; exit 1; }
NODE_PATH="$modules/node_modules" CHROMIUM="$chromium" timeout 90 \
  node "$here/browser_escape.js" "http://127.0.0.1:$port"
