#!/usr/bin/env bash
# lumoc and lumorun with pages, from the command line: the output file,
# --check, -I, the exit statuses and the messages' form.
# Arguments: the lumoc and lumorun executables.
set -u
lumoc=$1
run=$2
# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/test_lib.sh"
test_begin
mkdir -p "$work/lib" "$work/out"
printf '<LmINCLUDE file="greet.lum">\n{{ greet("you") }}\n' > "$work/page.lum"
printf '<LmFUNCTION name="greet(n)"><LmFUNCTIONRETURN value="'"'"'hi '"'"' $ n"></LmFUNCTION>\n' \
  > "$work/lib/greet.lum"

# The include is only found with -I; the output lands beside the source.
"$lumoc" "$work/page.lum" 2> "$work/err"
check "include without -I" 1 $?
grep -qF "page.lum:1:18: cannot find the included file 'greet.lum'" "$work/err" ||
  { fail "message form:"; cat "$work/err"; }
[ -e "$work/page.lmc" ] && fail "a faulty page left a program"
"$lumoc" -I "$work/lib" "$work/page.lum"
check "compile" 0 $?
"$run" "$work/page.lmc" > "$work/run.out"
check "run the compiled page" 0 $?
same "compiled output" "$work/run.out" "hi you"
"$lumoc" "-I$work/lib" "$work/page.lum" -o "$work/out/p.lmc"
check "-o" 0 $?
[ -s "$work/out/p.lmc" ] || fail "-o wrote nothing"

# --check writes nothing.
rm -f "$work/page.lmc"
"$lumoc" --check -I "$work/lib" "$work/page.lum"
check "--check" 0 $?
[ -e "$work/page.lmc" ] && fail "--check wrote a program"

# Unreadable source, unwritable output, bad options: 2.
"$lumoc" "$work/missing.lum" 2> /dev/null
check "missing source" 2 $?
"$lumoc" "$work/lib" 2> "$work/err"
check "a directory as the source" 2 $?
contains "a directory as the source" "$work/err" "lumoc: cannot read '$work/lib': Is a directory"
"$lumoc" -I "$work/lib" "$work/page.lum" -o "$work/nodir/p.lmc" 2> /dev/null
check "unwritable output" 2 $?
"$lumoc" --frobnicate "$work/page.lum" 2> /dev/null
check "unknown option" 2 $?

# lumorun compiles a page itself; a faulty page does not load (2), a
# runtime error names the page and its line (1).
printf 'a\n<LmASSIGN var="x" value="1">\n{{ x[0] }}\n' > "$work/bad.lum"
"$run" "$work/bad.lum" > "$work/run.out" 2>&1
check "lumorun runtime error" 1 $?
grep -qF "bad.lum: Line 3:" "$work/run.out" || { fail "no page line:"; cat "$work/run.out"; }
printf '<LmWHILE test="1">\n' > "$work/open.lum"
"$run" "$work/open.lum" > "$work/run.out" 2>&1
check "lumorun faulty page" 2 $?
grep -qF "open.lum:1:1: '<LmWHILE>' is not closed" "$work/run.out" ||
  { fail "no compile message:"; cat "$work/run.out"; }

# LmDO of a page: compiled on the way, functions and top level alike.
printf '<LmFUNCTION name="twice(x)"><LmFUNCTIONRETURN value="x * 2"></LmFUNCTION>\nlib ran\n' \
  > "$work/lib.lum"
printf '<LmDO file="lib.lum" call="twice(21)" var="n">\n{{ n }}\n<LmDO file="lib.lum">\n' \
  > "$work/main.lum"
"$run" "$work/main.lum" > "$work/run.out" 2>&1
check "lumorun LmDO of a page" 0 $?
same "LmDO of a page" "$work/run.out" $'42\nlib ran'

# Library functions: lumoc, lumorun and LmDO of a page know those of the
# configured libraries (the standard library beside the tools by default);
# a configuration that registers another library replaces it.
printf '{{ upper("abc") }}-{{ len("abcd") }}\n' > "$work/std.lum"
"$lumoc" "$work/std.lum" -o "$work/std.lmc" > "$work/c.out" 2>&1
check "lumoc library function" 0 $?
"$run" "$work/std.lmc" > "$work/run.out" 2>&1
same "compiled library call" "$work/run.out" "ABC-4"
"$run" "$work/std.lum" > "$work/run.out" 2>&1
same "lumorun page library call" "$work/run.out" "ABC-4"
printf '<LmDO file="std.lum">\n' > "$work/dostd.lum"
"$run" "$work/dostd.lum" > "$work/run.out" 2>&1
same "LmDO page library call" "$work/run.out" "ABC-4"
printf 'libraries = b,n/a,%s/nothing-here.so\n' "$work" > "$work/other.conf"
"$lumoc" --config "$work/other.conf" "$work/std.lum" -o "$work/std2.lmc" > "$work/c.out" 2>&1
check "lumoc without the standard library" 1 $?
grep -qF "Unable to find function 'upper'" "$work/c.out" ||
  { fail "lumoc knew upper without its library:"; cat "$work/c.out"; }
contains "lumoc names the library it cannot load" "$work/c.out" "lumoc: Library '$work/nothing-here.so'"
# A configuration file named on the command line must exist: a mistyped
# name would otherwise compile against the default libraries.
"$lumoc" --config "$work/none.conf" "$work/std.lum" -o "$work/std3.lmc" > "$work/c.out" 2>&1
check "lumoc with a missing configuration file" 2 $?
contains "lumoc missing configuration file" "$work/c.out" \
  "lumoc: configuration file '$work/none.conf': No such file or directory"
[ -e "$work/std3.lmc" ] && fail "lumoc compiled without its configuration file"

test_end "lumoc: all checks passed"
