#!/usr/bin/env bash
# lumorun from the command line: the configuration file, the script and
# data directories, and the exit statuses users script against.
# Arguments: the lumoasm and lumorun executables.
set -u
asm=$1
run=$2
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/test_lib.sh"
test_begin

mkdir -p "$work/site/sub" "$work/data" "$work/elsewhere"
printf '  pushc "hi\\n"\n  out\n' > "$work/hi.lasm"
printf 'loop:\n  jmp loop\n' > "$work/loop.lasm"
"$asm" "$work/hi.lasm" -o "$work/site/sub/hi.lmc" || exit 1
"$asm" "$work/loop.lasm" -o "$work/site/loop.lmc" || exit 1
cp "$work/site/sub/hi.lmc" "$work/elsewhere/hi.lmc"

# No configuration file at all: every default holds.
"$run" "$work/site/sub/hi.lmc" > "$work/out" 2> "$work/err"
check "defaults" 0 $?
contains "defaults" "$work/out" "hi"

# --root: the program must lie inside the script directory.
"$run" --root "$work/site" "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "inside root" 0 $?
"$run" --root "$work/site" "$work/elsewhere/hi.lmc" > "$work/out" 2>&1
check "outside root" 2 $?
contains "outside root" "$work/out" "is not inside the script directory"
"$run" --root "$work/site" "$work/site/sub/../../elsewhere/hi.lmc" > "$work/out" 2>&1
check "climbing out of root" 2 $?

# A damaged configuration warns with file and line and still runs; its
# time-out applies.
printf '# comment\nglobaltimeout = 1\nthis line is wrong\nmaxfiles = lots\n' > "$work/my.conf"
"$run" --config "$work/my.conf" "$work/site/loop.lmc" > "$work/out" 2> "$work/err"
check "configured time-out" 1 $?
contains "configured time-out" "$work/out" "Application timed out"
contains "warning line 3" "$work/err" "my.conf:3:"
contains "warning line 4" "$work/err" "my.conf:4:"

# The configuration file may also come from the environment; --timeout wins.
LUMODEX_CONFIG="$work/my.conf" "$run" --timeout 0 "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "environment config" 0 $?

# Directories named on the command line must exist; a named configuration
# file too.
"$run" --data "$work/missing" "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "missing data directory" 2 $?
"$run" --data "$work/data" "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "data directory" 0 $?
"$run" --config "$work/none.conf" "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "missing config" 2 $?
contains "missing config" "$work/out" "lumorun: configuration file '$work/none.conf': No such file or directory"
"$run" "$work/site/nothing.lmc" > "$work/out" 2>&1
check "missing program" 2 $?
"$run" --bogus > "$work/out" 2>&1
check "unknown option" 2 $?

# LmDO names start from the program's directory inside the script
# directory, and never leave it.
printf '  pushc "hi.lmc"\n  op_do_file\n  pushc "/loop2.lmc"\n  op_do_file\n' > "$work/do.lasm"
printf '  pushc "top\\n"\n  out\n' > "$work/loop2.lasm"
printf '  pushc "../../elsewhere/hi.lmc"\n  op_do_file\n' > "$work/escape.lasm"
"$asm" "$work/do.lasm" -o "$work/site/sub/do.lmc" || exit 1
"$asm" "$work/loop2.lasm" -o "$work/site/loop2.lmc" || exit 1
"$asm" "$work/escape.lasm" -o "$work/site/sub/escape.lmc" || exit 1
"$run" --root "$work/site" "$work/site/sub/do.lmc" > "$work/out" 2>&1
check "lmdo" 0 $?
contains "lmdo" "$work/out" "hi"
contains "lmdo" "$work/out" "top"
"$run" --root "$work/site" "$work/site/sub/escape.lmc" > "$work/out" 2>&1
contains "lmdo escape" "$work/out" "LmDO: The specified path references a path outside the configured script directory"

# The run's system variables are there, as in a served program: the year
# of the run, and lumo_language switching localized text mid-run.
cat > "$work/lang.lasm" <<'LASM'
.system tm_year, lumo_language
.language en
.token hi, "Hello"
.language de
.token hi, "Hallo"
  pushs tm_year
  out
  pushc " "
  out
  pushc "en"
  pops lumo_language
  localize "hi"
  pushc " "
  out
  pushc "de"
  pops lumo_language
  localize "hi"
LASM
"$asm" "$work/lang.lasm" -o "$work/site/lang.lmc" || exit 1
"$run" "$work/site/lang.lmc" > "$work/out" 2>&1
check "system variables" 0 $?
contains "system variables" "$work/out" "$(date +%Y) Hello Hallo"

# A fatal error is told once, on stderr, after the output that came before
# it; the run still ends with 1.
printf '  pushc "before\\n"\n  out\n  pop\n' > "$work/fatal.lasm"
"$asm" "$work/fatal.lasm" -o "$work/site/fatal.lmc" || exit 1
"$run" "$work/site/fatal.lmc" > "$work/out" 2> "$work/err"
check "fatal error" 1 $?
same "fatal error: output" "$work/out" "before"
[ "$(grep -c 'Fatal error in /fatal.lmc' "$work/err")" = 1 ] ||
  { fail "fatal error: not once on stderr:"; cat "$work/err"; }
"$run" "$work/site/fatal.lmc" > "$work/both" 2>&1
[ "$(head -n 1 "$work/both")" = "before" ] || fail "fatal error: printed before the output"

# Request options run the program through the server's request path: the
# query, a form body, cookies and headers arrive as a served page sees them.
cat > "$work/site/echo.lasm" <<'LASM'
  pushc "s.request_method, s.query_string, g.a, g.b, s.http_Cookie, s.http_X_Test, s.content_data"
  hide
LASM
"$asm" "$work/site/echo.lasm" -o "$work/site/echo.lmc" || exit 1
field() {  # field NAME FILE: the value the page shows for NAME
  sed 's/></>\n</g' "$2" | sed -n "s/.*name=\"$1\" value=\"\\([^\"]*\\)\".*/\\1/p"
}
# A served run needs a data directory.
"$run" --query x=1 "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "request without data directory" 2 $?
contains "request without data directory" "$work/err" "--data"
export LUMODEX_CONFIG="$work/request.conf"
printf 'datadir = %s\n' "$work/data" > "$LUMODEX_CONFIG"
"$run" --query 'a=1&b=two+words' --cookie 'k=v; k2=v2' --header 'X-Test: yes' \
  "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "request get" 0 $?
same "request method" <(field request_method "$work/out") "GET"
same "request query" <(field query_string "$work/out") "a=1&amp;b=two+words"
same "request field a" <(field a "$work/out") "1"
same "request field b" <(field b "$work/out") "two words"
same "request cookie" <(field http_Cookie "$work/out") "k=v; k2=v2"
same "request header" <(field http_X_Test "$work/out") "yes"
lacks "request body only" "$work/out" "HTTP/1."

printf 'a=%%33&b=posted' > "$work/form"
"$run" --include --post-file "$work/form" "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "request post" 0 $?
same "post status line" <(head -n 1 "$work/out" | tr -d '\r') "HTTP/1.1 200 OK"
contains "post head" "$work/out" "Content-Type: text/html"
same "post method" <(field request_method "$work/out") "POST"
same "post field a" <(field a "$work/out") "3"
same "post field b" <(field b "$work/out") "posted"
printf '{"raw": 1}' > "$work/json"
"$run" --post-file "$work/json" --content-type application/json "$work/site/echo.lmc" \
  > "$work/out" 2> "$work/err"
check "post other type" 0 $?
same "post other type" <(field content_data "$work/out") '{&quot;raw&quot;: 1}'

# A multipart upload goes through the program's upload functions, which
# see the file while it is on disk.
cat > "$work/site/up.lasm" <<'LASM'
.global plog, note
.function Lumo_ValidateFileUpload(field, file, type)
  pushi 0
  ret
.end
.function Lumo_ProcessFileUpload(field, file, status, path, type, size)
  pushg plog
  pushl field
  cat
  pushc ","
  cat
  pushl file
  cat
  pushc ","
  cat
  pushl status
  cat
  pushc ","
  cat
  pushl size
  cat
  popg plog
  retn
.end
  pushg note
  pushc "|"
  cat
  pushg plog
  cat
  out
LASM
"$asm" "$work/site/up.lasm" -o "$work/site/up.lmc" || exit 1
printf -- '--XyZ\r\nContent-Disposition: form-data; name="note"\r\n\r\nhello\r\n--XyZ\r\nContent-Disposition: form-data; name="f"; filename="a.txt"\r\nContent-Type: text/plain\r\n\r\n12345\r\n--XyZ--\r\n' > "$work/multi"
"$run" --post-file "$work/multi" \
  --content-type 'multipart/form-data; boundary=XyZ' "$work/site/up.lmc" > "$work/out" 2> "$work/err"
check "upload" 0 $?
same "upload" "$work/out" "hello|f,a.txt,COMPLETE,5"

# Exit statuses in request mode: a fatal error or a time-out is 1 (the
# message is in the page, as the server shows it), a page that does not
# compile and a missing body file are 2.
"$run" --query x=1 "$work/site/fatal.lmc" > "$work/out" 2> "$work/err"
check "request fatal error" 1 $?
contains "request fatal error" "$work/out" "Fatal error in /fatal.lmc"
"$run" --query x=1 --timeout 1 "$work/site/loop.lmc" > "$work/out" 2> "$work/err"
check "request time-out" 1 $?
contains "request time-out" "$work/out" "Application timed out"
printf '<LmIF cond="1">\n' > "$work/site/broken.lum"
"$run" --query x=1 "$work/site/broken.lum" > "$work/out" 2> "$work/err"
check "request broken page" 2 $?
"$run" --post-file "$work/nothing" "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "missing post file" 2 $?
contains "missing post file" "$work/err" "--post-file '$work/nothing': No such file or directory"
cp "$work/site/echo.lmc" "$work/site/a b.lmc"
"$run" --query x=1 "$work/site/a b.lmc" > "$work/out" 2> "$work/err"
check "path a request cannot name" 2 $?
"$run" --header 'no colon' "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "bad header option" 2 $?
"$run" --content-type text/plain "$work/site/echo.lmc" > "$work/out" 2> "$work/err"
check "content type without body" 2 $?

unset LUMODEX_CONFIG

# lumoasm refuses what it cannot use, naming it, and lists with names.
"$asm" -x "$work/hi.lasm" > "$work/out" 2>&1
check "lumoasm unknown option" 1 $?
contains "lumoasm unknown option" "$work/out" "unknown option '-x'"
"$asm" "$work/hi.lasm" "$work/loop.lasm" > "$work/out" 2>&1
check "lumoasm two sources" 1 $?
contains "lumoasm two sources" "$work/out" "second source"
"$asm" "$work/hi.lasm" -o > "$work/out" 2>&1
check "lumoasm -o without a name" 1 $?
"$asm" "$work/site" > "$work/out" 2>&1
check "lumoasm a directory" 1 $?
contains "lumoasm a directory" "$work/out" "$work/site: Is a directory"
printf ' \n\n' > "$work/empty.lasm"
"$asm" "$work/empty.lasm" > "$work/out" 2>&1
check "lumoasm empty source" 1 $?
contains "lumoasm empty source" "$work/out" "the source is empty"
[ ! -e "$work/empty.lmc" ] || { echo "FAIL lumoasm empty source: wrote a program"; failures=$((failures + 1)); }
"$asm" --list "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "lumoasm --list" 0 $?
contains "lumoasm --list" "$work/out" '00000000	pushc	"hi\n"'
"$asm" --list-raw "$work/site/sub/hi.lmc" > "$work/out" 2>&1
check "lumoasm --list-raw" 0 $?
contains "lumoasm --list-raw" "$work/out" "0	pushc	dword:"

test_end "lumorun: all checks passed"
