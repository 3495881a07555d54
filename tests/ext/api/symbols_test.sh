#!/bin/sh
# The interface as a library sees it, checked on the real executables:
# every exported name can be looked up in the running program (the probe
# library, preloaded, does so before the program starts), and the dynamic
# symbol table holds those names and nothing else of ours.
#
# symbols_test.sh <exports.map> <probe.so> <executable>...
# Names listed in LUMO_PENDING_EXPORTS (a file) may be absent: they are
# defined by the loading side of the interface when it is part of the build.
set -u
map=$1
probe=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$map" | sort > "$work/all"
count=$(wc -l < "$work/all")
if [ "$count" -ne 217 ]; then
  echo "FAIL: the version script lists $count names, not 217"
  exit 1
fi
if [ -n "${LUMO_PENDING_EXPORTS:-}" ]; then
  sort "$LUMO_PENDING_EXPORTS" > "$work/pending"
  comm -23 "$work/all" "$work/pending" > "$work/expected"
else
  cp "$work/all" "$work/expected"
fi

status=0
for exe in "$@"; do
  name=$(basename "$exe")
  # Looked up in the running program.
  if ! LUMO_PROBE_NAMES="$work/expected" LD_PRELOAD="$probe" \
       ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0" "$exe" > "$work/probe" 2>&1; then
    echo "FAIL: $name: names that do not resolve in the running program:"
    cat "$work/probe"
    status=1
  fi
  # The dynamic symbol table.
  nm -D --defined-only "$exe" | awk '{print $3}' | sed 's/@.*//' | sort > "$work/defined"
  absent=$(comm -23 "$work/expected" "$work/defined")
  if [ -n "$absent" ]; then
    echo "FAIL: $name does not export:"; echo "$absent"; status=1
  fi
  # Anything else ours (our C names, or C++ names of namespace lumo) must
  # stay local; what remains is the C and C++ runtimes' own data.
  comm -13 "$work/all" "$work/defined" > "$work/other"
  ours=$(grep -E '^(lm[A-Z]|lumo|Lumo|_ZN4lumo|_Z.*4lumo)' "$work/other" || true)
  if [ -n "$ours" ]; then
    echo "FAIL: $name exports symbols of ours beyond the interface:"; echo "$ours"; status=1
  fi
  others=$(wc -l < "$work/other")
  if [ "$others" -gt 20 ]; then
    echo "FAIL: $name exports $others symbols beyond the interface:"; cat "$work/other"; status=1
  fi
  echo "$name: $(grep -c . "$work/expected") names resolve; $others other dynamic symbols"
done
exit $status
