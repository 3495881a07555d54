#!/usr/bin/env bash
# A program that allocates without end ends its own request with "Out of
# memory" and the server goes on serving: the process neither aborts nor
# reports an escaped exception, and the next request is answered.
#
#   memory_limit_test.sh LUMODEX LUMOASM [--prlimit]
#
# Always: the run's budget ("maxrunmemory" of 32 MiB) stops the program.
# With --prlimit (a build without AddressSanitizer, which reserves far more
# address space than any limit allows): the server runs under an address
# space limit of 1 GiB, once with "maxrunmemory = 0" so that the allocator
# itself fails, once with the default budget, which stops the program
# before the limit is reached.
set -u
dex=$1
asm=$2
with_prlimit=0
[ "${3:-}" = "--prlimit" ] && with_prlimit=1

# shellcheck source=tests/tools/test_lib.sh
. "$(dirname "$0")/../tools/test_lib.sh"
test_begin

mkdir -p "$work/root" "$work/data" "$work/home"

# grow.lmc: copies of a 1 MiB text into an array, without end.
{
  echo ".global a, s, i"
  printf 'pushc "%s"\npopg s\n' "$(head -c 1024 /dev/zero | tr '\0' 'x')"
  cat <<'LASM'
double: pushg s
        pushg s
        cat
        popg s
        incg i, 1
        cmpgi i, 10
        jmp_lt double
        storegi i, 0
grow:   incg i, 1
        pushg s
        pushg a
        pushg i
        elem
        store
        jmp grow
LASM
} > "$work/grow.lasm"
printf 'pushc "hello"\nout\n' > "$work/hello.lasm"
"$asm" "$work/grow.lasm" -o "$work/root/grow.lmc" || exit 1
"$asm" "$work/hello.lasm" -o "$work/root/hello.lmc" || exit 1

# start NAME [COMMAND PREFIX...]: lumodex with $work/NAME.conf, its output
# in $work/NAME.out and $work/NAME.err.
start() {
  local name=$1
  shift
  start_dex "$name" "$@" -- --config "$work/$name.conf" --root "$work/root" --data "$work/data"
}

# A 12 MB body of one field name nested six million levels deep, and one
# of many fields each nested as deep as a name may be: both end their
# request (the bounds on nested names come first, the run's memory after
# them), and the next request is answered.
{ printf a; yes :m | head -n 6000000 | tr -d '\n'; printf '=1'; } > "$work/nested.body"
field="f$(printf '[1]%.0s' $(seq 32))=v&"
yes "$field" | head -n $((12000000 / ${#field})) | tr -d '\n' > "$work/fields.body"

# post BODYFILE: a URL-encoded POST of the file; the response body in
# $work/body.
post() {
  {
    printf 'POST /hello.lmc HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n' \
      "$(stat -c %s "$1")"
    cat "$1"
  } > "$work/request"
  http_send "$work/request"
}

# check NAME: the growing program is stopped, twice (so that more than one
# worker has run out), and every time the next request is answered.
check() {
  local name=$1
  for round in 1 2; do
    http_get /grow.lmc
    grep -qF "Out of memory" "$work/body" ||
      fail "$name, round $round: no 'Out of memory' in the response: $(head -c 300 "$work/body")"
    http_get /hello.lmc
    [ "$(cat "$work/body")" = "hello" ] ||
      fail "$name, round $round: the next request got '$(head -c 300 "$work/body")'"
  done
  for body in nested fields; do
    post "$work/$body.body"
    grep -qE "Maximum number of POST variables exceeded|Out of memory" "$work/body" ||
      fail "$name, $body names: the response was '$(head -c 300 "$work/body")'"
    http_get /hello.lmc
    [ "$(cat "$work/body")" = "hello" ] ||
      fail "$name, after $body names: the next request got '$(head -c 300 "$work/body")'"
  done
  kill -0 "$server" 2>/dev/null || fail "$name: the server is gone"
  # Stopped first: a sanitizer reports leaks as the process ends.
  stop_server
  if grep -qE "bad_alloc|terminate|Aborted|Sanitizer|out of memory" "$work/$name.err"; then
    fail "$name: the server reported:"
    cat "$work/$name.err"
  fi
}

echo "maxrunmemory = 33554432" > "$work/budget.conf"
start budget && check budget

if [ "$with_prlimit" = 1 ]; then
  echo "maxrunmemory = 0" > "$work/unlimited.conf"
  start unlimited prlimit --as=1073741824 && check unlimited
  : > "$work/default.conf"
  start default prlimit --as=1073741824 && check default
fi

test_end "ok"
