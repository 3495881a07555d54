#!/usr/bin/env bash
# The demo site's pages round trip: each is compiled by lumoc, listed by
# lumoasm --list and run by lumorun, and what it prints equals
# examples/site/expected/NAME.out (the clock and its zone masked).
# Arguments: lumoc, lumoasm, lumorun, examples/site.
set -u
lumoc=$1
asm=$2
run=$3
site=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
export HOME="$work/home"
unset LUMODEX_CONFIG

for page in "$site"/*.lum; do
  name=$(basename "$page" .lum)
  "$lumoc" "$page" -o "$work/$name.lmc" || { echo "FAIL $name: does not compile"; failures=$((failures + 1)); }
done
for page in "$site"/*.lum; do
  name=$(basename "$page" .lum)
  [ -f "$work/$name.lmc" ] || continue
  if ! "$asm" --list "$work/$name.lmc" > "$work/$name.list" ||
     ! grep -q "^; segment 0" "$work/$name.list"; then
    echo "FAIL $name: the listing fails"; failures=$((failures + 1))
  fi
  "$run" --root "$work" "$work/$name.lmc" > "$work/$name.raw" 2>&1
  sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [^<]*/TIME/; s/, [A-Z][a-z]{2} [0-9]{1,2} [A-Z][a-z]{2} [0-9]{4}, [0-9]{1,2}:[0-9]{2}\./, TIME./' \
    "$work/$name.raw" > "$work/$name.out"
  if ! cmp -s "$work/$name.out" "$site/expected/$name.out"; then
    echo "FAIL $name: the output differs from expected/$name.out:"
    diff "$site/expected/$name.out" "$work/$name.out" | head -20
    failures=$((failures + 1))
  fi
done

[ "$failures" = 0 ] && echo "site pages: all checks passed"
[ "$failures" = 0 ]
