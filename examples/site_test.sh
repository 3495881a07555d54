#!/usr/bin/env bash
# The demo site served by lumodex, fetched as a browser would: every page
# answers, the welcome page's links lead somewhere, whatever the client
# sends comes back HTML-encoded, and the form reports its upload.
# Arguments: the lumodex executable and the built site directory.
set -u
dex=$1
site=$2
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/../tests/tools/test_lib.sh"
test_begin

mkdir -p "$work/data" "$work/home"
start_dex dex --root "$site" --data "$work/data" || exit 1
status_is() {  # status_is NAME CODE
  head -n 1 "$work/response" | grep -q "^HTTP/1\.[01] $2 " ||
    fail "$1: status line '$(head -n 1 "$work/response" | tr -d '\r')', expected $2"
}
type_is() {  # type_is NAME TYPE
  grep -qi "^Content-Type: $2"$'\r'"\?$" "$work/response" ||
    fail "$1: Content-Type is not $2"
}

# Every page, with the type a browser needs to use it.
for page in / /index.lmc /vars.lmc /form.lmc /hello.lmc /compose.lmc /library.lmc /about.html; do
  http_get "$page"
  status_is "$page" 200
  type_is "$page" text/html
  contains "$page complete" "$work/body" "</html>"
done
http_get /style.css
status_is style.css 200
type_is style.css text/css
http_get /reveal.js
status_is reveal.js 200
type_is reveal.js text/javascript

# No dead link on the welcome page or the static page.
for page in / /about.html; do
  http_get "$page"
  cp "$work/body" "$work/links"
  targets=$(grep -o 'href="[^"#]*"' "$work/links" | sed 's/^href="//; s/"$//; s|^\./$|/|' | sort -u)
  [ -n "$targets" ] || fail "$page: no links found"
  for t in $targets; do
    case "$t" in /*) ;; *) t="/$t" ;; esac
    http_get "$t"
    status_is "link $t on $page" 200
  done
done

# hello: the argument encoded, then exactly <li>1 .. <li>100.
# The composed page: a capture sent twice, a function of parts.lmc called
# by name, and parts.lmc's top level run in place with a shared global.
http_get /compose.lmc
[ "$(grep -c 'written inside a capture block' "$work/body")" = 2 ] ||
  fail "compose.lmc: the captured paragraph is not there twice"
contains compose.lmc "$work/body" "parts.lmc says 20 + 22 = 42"
contains compose.lmc "$work/body" "run in place by the page that called it"
contains compose.lmc "$work/body" "Footers written so far in this run: 1"

# library: the standard library's dates, a JSON round trip that gives the
# same text twice, and the SHA-256 of the visitor's text, encoded.
http_get '/library.lmc?Lumo%20%3Cb%3E'
contains "library date" "$work/body" '<td>1709211909</td>'
contains "library UTC" "$work/body" '<td>Thursday 29 February 2024, 13:05:09 UTC</td>'
contains "library month later" "$work/body" '<td>2024-03-29</td>'
grep -qE '<tr><th>Now</th><td>[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC</td>' "$work/body" ||
  fail "library: no current time in the form YYYY-MM-DD HH:MM:SS UTC"
encoded=$(sed -n 's|^<p>Encoded: <code>\(.*\)</code></p>$|\1|p' "$work/body")
again=$(sed -n 's|^<p>Decoded and encoded again: <code>\(.*\)</code></p>$|\1|p' "$work/body")
[ -n "$encoded" ] && [ "$encoded" = "$again" ] ||
  fail "library: the JSON round trip gave '$encoded' and '$again'"
contains "library JSON" "$work/body" '&quot;tags&quot;:[&quot;desk&quot;,&quot;led&quot;]'
contains "library tags" "$work/body" '<p>Tags: desk, led</p>'
hash=$(printf 'Lumo <b>' | sha256sum | cut -d' ' -f1)
contains "library hash" "$work/body" "sha256(\"Lumo &lt;b&gt;\") = <code>$hash</code>"
lacks "library raw argument" "$work/body" "<b>"

http_get '/hello.lmc?Lumo%20%26%20%3Cb%3E%22x%22+second'
contains "hello argument" "$work/body" \
  '<input type="hidden" name="arg2" value="Lumo &amp; &lt;b&gt;&quot;x&quot;">'
lacks "hello raw argument" "$work/body" "<b>"
[ "$(grep -c '^<li>' "$work/body")" = 100 ] || fail "hello: $(grep -c '^<li>' "$work/body") items, expected 100"
contains "hello first item" "$work/body" $'<li>1\n<li>2\n'
contains "hello last item" "$work/body" $'<li>99\n<li>100\n</ul>'
http_get /hello.lmc
contains "hello without argument" "$work/body" '<input type="hidden" name="arg2" value="">'

# vars: what the client chose is encoded, what the server knows is shown.
http_get '/vars.lmc?one+two%20words+%3Cscript%3Ealert(1)%3C/script%3E' \
  'User-Agent: <script>agent</script>' 'Referer: "><img src=x>'
status_is vars 200
lacks "vars raw argument" "$work/body" "<script>alert"
lacks "vars raw header" "$work/body" "<script>agent"
lacks "vars raw referer" "$work/body" "<img src=x>"
contains "vars arg2" "$work/body" '<input type="hidden" name="arg2" value="one">'
contains "vars arg3" "$work/body" '<input type="hidden" name="arg3" value="two words">'
contains "vars arg4" "$work/body" \
  'value="&lt;script&gt;alert&#40;1&#41;&lt;/script&gt;"'
contains "vars nargs" "$work/body" '<tr><th>Arguments (nargs)</th><td>4</td></tr>'
contains "vars user agent" "$work/body" 'value="&lt;script&gt;agent&lt;/script&gt;"'
contains "vars address" "$work/body" '<tr><th>Remote address</th><td>127.0.0.1</td></tr>'
grep -qE '<tr><th>Time</th><td>[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ' "$work/body" ||
  fail "vars: no time in the form YYYY-MM-DD HH:MM:SS"

# post_form FILE-NAME [forge]: a multipart form with hostile fields and
# one file part (the bytes of $work/upload) to form.lmc. "forge" adds a
# field named like the page's own up_status after the file part, where it
# overwrites what the upload function stored.
post_form() {
  local name=$1 forge=${2-} b=----lumo-site-test-7e3f
  {
    printf -- '--%s\r\nContent-Disposition: form-data; name="visitor"\r\n\r\nAnn <b>&</b>\r\n' "$b"
    printf -- '--%s\r\nContent-Disposition: form-data; name="message"\r\n\r\nline one\r\nline two\r\n' "$b"
    printf -- '--%s\r\nContent-Disposition: form-data; name="upload"; filename="%s"\r\n' "$b" "$name"
    printf 'Content-Type: application/octet-stream\r\n\r\n'
    cat "$work/upload"
    if [ -n "$forge" ]; then
      printf '\r\n--%s\r\nContent-Disposition: form-data; name="up_status"\r\n\r\n' "$b"
      printf '<i>forged</i>'
    fi
    printf '\r\n--%s--\r\n' "$b"
  } > "$work/form-body"
  {
    printf 'POST /form.lmc HTTP/1.0\r\nHost: 127.0.0.1\r\n'
    printf 'Content-Type: multipart/form-data; boundary=%s\r\n' "$b"
    printf 'Content-Length: %s\r\n\r\n' "$(wc -c < "$work/form-body")"
    cat "$work/form-body"
  } > "$work/request"
  http_send "$work/request"
}

head -c 5000 /dev/zero | tr '\0' 'x' > "$work/upload"
post_form 'notes <1>.txt'
status_is "form post" 200
contains "form visitor" "$work/body" \
  '<input type="hidden" name="visitor" value="Ann &lt;b&gt;&amp;&lt;/b&gt;">'
lacks "form raw visitor" "$work/body" "<b>&</b>"
contains "form message keeps its line break" "$work/body" $'value="line one\r\nline two"'
contains "form file name" "$work/body" '<input type="hidden" name="up_file" value="notes &lt;1&gt;.txt">'
contains "form file size" "$work/body" '<input type="hidden" name="up_size" value="5000">'
contains "form file status" "$work/body" '<input type="hidden" name="up_status" value="COMPLETE">'

# A posted field may set the globals the page reports the upload from: they
# go out encoded like any other client text.
post_form forged.txt forge
contains "form forged status" "$work/body" 'value="&lt;i&gt;forged&lt;/i&gt;"'
lacks "form raw forged status" "$work/body" "<i>forged</i>"

# Beyond the 1 MiB the page keeps: still reported, as cut short.
head -c 1100000 /dev/zero > "$work/upload"
post_form big.bin
contains "form big file size" "$work/body" '<input type="hidden" name="up_size" value="1100000">'
contains "form big file status" "$work/body" '<input type="hidden" name="up_status" value="PARTIAL">'

# A file input left empty sends a part without a name: no file.
: > "$work/upload"
post_form ''
contains "form without a file" "$work/body" "No file was chosen."

# The server deletes each upload once the program has heard of it; the data
# directory (where uploads go without a temporary directory) stays empty.
leftover=$(find "$work/data" -mindepth 1 | head -n 5)
[ -z "$leftover" ] || fail "uploads left behind: $leftover"

test_end "demo site: all checks passed"
