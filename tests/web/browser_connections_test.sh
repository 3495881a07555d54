#!/usr/bin/env bash
# Persistent connections as a real browser uses them: headless Chromium
# (tests/web/browser_connections.js) browses the demo site served by
# lumodex, and must need no more than two connections for every page and
# its parts. Needs chromium and node 20 with playwright-core (npm,
# installed into the build directory when missing); without them the test
# is skipped (77).
# Arguments: the lumodex executable, the built demo site, and a directory
# for node modules.
set -u
dex=$1
site=$2
modules=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/tools/test_lib.sh
. "$here/../tools/test_lib.sh"
need_browser "$modules"
test_begin
mkdir -p "$work/data" "$work/home"
start_dex dex --root "$site" --data "$work/data" --access-log "$work/access.log" || exit 1
NODE_PATH="$modules/node_modules" CHROMIUM="$chromium" timeout 90 \
  node "$here/browser_connections.js" "http://127.0.0.1:$port" || fail "the browser check"
requests=$(wc -l < "$work/access.log")
[ "$requests" -ge 8 ] || fail "only $requests requests logged"
test_end "browser connections: all checks passed"
