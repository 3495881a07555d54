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

# lumoasm refuses what it cannot use, naming it, and lists with names.
"$asm" -x "$work/hi.lasm" > "$work/out" 2>&1
check "lumoasm unknown option" 1 $?
contains "lumoasm unknown option" "$work/out" "unknown option '-x'"
"$asm" "$work/hi.lasm" "$work/loop.lasm" > "$work/out" 2>&1
check "lumoasm two sources" 1 $?
contains "lumoasm two sources" "$work/out" "second source"
"$asm" "$work/hi.lasm" -o > "$work/out" 2>&1
check "lumoasm -o without a name" 1 $?
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
