#!/usr/bin/env bash
# The example library (examples/ext) registered in a configuration file and
# called by a program run by lumorun and served by lumodex: by-value and
# by-reference parameters, an array and a structure the library builds,
# output and a header it writes, and files refused outside the data
# directory.
# Arguments: lumodex lumorun lumoasm example.lasm liblumoexample.so
set -u
dex=$1
run=$2
asm=$3
source=$4
library=$5
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/../../tools/test_lib.sh"
test_begin

mkdir -p "$work/site" "$work/data" "$work/home"
printf 'libraries = b,n/a,%s\n' "$library" > "$work/lumodex.conf"
"$asm" "$source" -o "$work/site/example.lmc" || { echo "FAIL example.lasm does not assemble"; exit 1; }

expected() {  # expected HEADER-RESULT
  cat <<END
Hello, Ada!
swapped: right left
incremented: 41 -> 42
split: [red,green,blue] second=green
person: {age:36,name:Ada,tags:[example]}
saved: '' loaded: kept
outside: The specified path references a path outside the configured data directory
calls: 2
header: $1
END
}

# lumorun: no HTTP headers to add, so that call answers 0.
"$run" --config "$work/lumodex.conf" --root "$work/site" --data "$work/data" \
  "$work/site/example.lmc" > "$work/run.out" 2> "$work/run.err" || fail "lumorun exit status $?"
expected 0 > "$work/run.expected"
diff -u "$work/run.expected" "$work/run.out" || fail "lumorun output differs"
[ "$(cat "$work/data/note.txt" 2>/dev/null)" = "kept" ] || fail "lumorun: note.txt not written"
[ ! -e "$work/escape.txt" ] || fail "lumorun: a file was written outside the data directory"
rm -f "$work/data/note.txt"

# lumodex: the same program as a page.
start_dex dex --config "$work/lumodex.conf" --root "$work/site" --data "$work/data" || exit 1
http_get /example.lmc || exit 1
head -n 1 "$work/response" | grep -q '^HTTP/1\.[01] 200 ' || fail "status: $(head -n 1 "$work/response")"
grep -q $'^X-Example: called\r$' "$work/response" || fail "the library's header is missing"
expected 1 > "$work/page.expected"
diff -u "$work/page.expected" "$work/body" || fail "page differs"
[ "$(cat "$work/data/note.txt" 2>/dev/null)" = "kept" ] || fail "lumodex: note.txt not written"
[ ! -e "$work/escape.txt" ] || fail "lumodex: a file was written outside the data directory"

if [ "$failures" -ne 0 ]; then
  cat "$work/run.err" "$work/dex.err"
  exit 1
fi
echo "example library: lumorun and lumodex agree"
