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
# shellcheck source=tests/tools/test_lib.sh
. "$here/../tools/test_lib.sh"
need_browser "$modules"
test_begin
mkdir -p "$work/root" "$work/data" "$work/home"
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
start_dex dex --root "$work/root" --data "$work/data" || exit 1
NODE_PATH="$modules/node_modules" CHROMIUM="$chromium" timeout 90 \
  node "$here/browser_escape.js" "http://127.0.0.1:$port"
