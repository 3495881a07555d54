#!/usr/bin/env bash
# Static files as curl, a real client, sees them: HEAD, a revalidation
# answered 304, a range (and a resumed download), an unsatisfiable range,
# the file's time carried over, an escaped name. Skipped without curl.
# Argument: the lumodex executable.
set -u
dex=$1
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/../tools/test_lib.sh"
command -v curl > /dev/null || { echo "curl not installed: skipped"; exit 77; }
test_begin
mkdir -p "$work/root" "$work/data" "$work/home"
# 100,000 bytes that differ along the file, so that a piece from the wrong
# place shows.
seq 1 20000 | awk '{ printf "%04d\n", $1 % 10000 }' > "$work/root/data.txt"
size=$(stat -c %s "$work/root/data.txt")
touch -d '2001-02-03 04:05:06 UTC' "$work/root/data.txt"
printf 'spaced' > "$work/root/my file.txt"
start_dex dex --root "$work/root" --data "$work/data" || exit 1
url="http://127.0.0.1:$port"
run_curl() {  # run_curl ARGUMENTS...: status in $work/code, head and body in files
  rm -f "$work/got"
  curl -s --max-time 10 --noproxy '*' -D "$work/head" -o "$work/got" -w '%{http_code}' "$@" \
    > "$work/code"
  tr -d '\r' < "$work/head" > "$work/head.txt"
}

# HEAD: the headers GET would have, no body.
run_curl -I "$url/data.txt"
same "HEAD status" "$work/code" "200"
contains "HEAD length" "$work/head.txt" "Content-Length: $size"
contains "HEAD type" "$work/head.txt" "Content-Type: text/plain"
contains "HEAD validator" "$work/head.txt" "Last-Modified: Sat, 03 Feb 2001 04:05:06 GMT"
contains "HEAD ranges" "$work/head.txt" "Accept-Ranges: bytes"
grep -q '^Date: ..., [0-9][0-9] ... [0-9]\{4\} [0-9:]\{8\} GMT$' "$work/head.txt" ||
  fail "HEAD: no Date in IMF form"
run_curl -I "$url/missing.html"
same "HEAD of a missing file" "$work/code" "404"
contains "HEAD of a missing file" "$work/head.txt" "Content-Type: text/html"

# Revalidation: curl -z sends If-Modified-Since from the date given.
run_curl -z 'Sat, 03 Feb 2001 04:05:06 GMT' "$url/data.txt"
same "not modified" "$work/code" "304"
[ -s "$work/got" ] && fail "304 with a body: $(cat "$work/got")"
run_curl -z 'Fri, 02 Feb 2001 00:00:00 GMT' "$url/data.txt"
same "modified since" "$work/code" "200"
cmp -s "$work/got" "$work/root/data.txt" || fail "modified since: the body differs"
run_curl -H 'If-Modified-Since: not a date' "$url/data.txt"
same "unparsable date" "$work/code" "200"

# One range, from the start, the middle and the end.
run_curl -r 0-9 "$url/data.txt"
same "range 0-9" "$work/code" "206"
contains "range 0-9" "$work/head.txt" "Content-Range: bytes 0-9/$size"
[ "$(cat "$work/got")" = "$(head -c 10 "$work/root/data.txt")" ] || fail "range 0-9: body"
run_curl -r 50000-50009 "$url/data.txt"
same "range in the middle" "$work/code" "206"
[ "$(cat "$work/got")" = "$(tail -c +50001 "$work/root/data.txt" | head -c 10)" ] ||
  fail "range in the middle: body"
run_curl -r -5 "$url/data.txt"
contains "suffix range" "$work/head.txt" "Content-Range: bytes $((size - 5))-$((size - 1))/$size"
# Several ranges: the whole file.
run_curl -r 0-1,5-6 "$url/data.txt"
same "two ranges" "$work/code" "200"
cmp -s "$work/got" "$work/root/data.txt" || fail "two ranges: the body differs"

# A download cut short and resumed with -C - ends up whole.
head -c 30000 "$work/root/data.txt" > "$work/resumed"
curl -s --max-time 10 --noproxy '*' -C - -o "$work/resumed" "$url/data.txt" ||
  fail "resume: curl failed"
cmp -s "$work/resumed" "$work/root/data.txt" || fail "resume: the file differs"

# Past the end: 416 with the file's size.
run_curl -r "$size"- "$url/data.txt"
same "unsatisfiable" "$work/code" "416"
contains "unsatisfiable" "$work/head.txt" "Content-Range: bytes */$size"

# curl -R gives the download the file's own time.
curl -s --max-time 10 --noproxy '*' -R -o "$work/timed" "$url/data.txt"
[ "$(stat -c %Y "$work/timed")" = "$(stat -c %Y "$work/root/data.txt")" ] ||
  fail "remote time: $(stat -c %Y "$work/timed")"

# A name with a blank, escaped.
run_curl "$url/my%20file.txt"
same "escaped name" "$work/got" "spaced"

stop_server
test_end "static files with curl: all checks passed"
