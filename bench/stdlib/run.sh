#!/usr/bin/env bash
# The standard library's substr against PHP 8.2's substr: 5,000,000 calls
# in a loop, whole processes, median wall time of N runs (see README.md).
# Then the allocation check: the same loop with 1,000,000 and 2,000,000
# calls under a malloc counter; the difference over 1,000,000 is what one
# bound call allocates.
#
#   bench/stdlib/run.sh [--runs N]
#
# Exits with 1 when a run prints a wrong result, when Lumo takes more than
# 1.5 times PHP's time, or when a call allocates more than its result.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build-release"
runs=5
expected=" ju"

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs wants a number}; shift 2 ;;
    --runs=*) runs=${1#*=}; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "usage: bench/stdlib/run.sh [--runs N]" >&2; exit 2 ;;
  esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --runs wants a positive number" >&2; exit 2; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/lumo-stdlib-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

. "$here/../apt_install.sh"

echo "Building lumoasm, lumorun and liblumostd.so in ${build#"$root"/}/ ..." >&2
(
  cd "$root"
  # shellcheck source=../../scripts/packages.sh
  . scripts/packages.sh
  lumo_install_packages
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF -DLUMO_BENCH=ON
  fi
  cmake --build "$build" --target lumoasm lumorun lumostd
) >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log" >&2; echo "run.sh: build failed" >&2; exit 1; }
lumoasm="$build/tools/lumoasm"
lumorun="$build/tools/lumorun"

command -v php8.2 >/dev/null 2>&1 || apt_install php8.2-cli || true
php=$(command -v "${PHP:-php8.2}") || { echo "run.sh: php8.2 is not available" >&2; exit 1; }
[ -x /usr/bin/time ] || apt_install time || true

"$lumoasm" "$here/substr.lasm" -o "$tmp/substr.lmc"
# No configuration file: the run registers the library beside lumorun.
export HOME="$tmp"
unset LUMODEX_CONFIG

now_us() { local t=${EPOCHREALTIME/[.,]/}; echo "$t"; }

# time_runs NAME COMMAND...: median milliseconds of $runs runs after a
# warm-up, each run's output checked.
time_runs() {
  local name=$1; shift
  local times=() t0 t1 out k
  for ((k = 0; k <= runs; k++)); do
    t0=$(now_us)
    out=$("$@" </dev/null) || { echo "run.sh: $name failed" >&2; exit 1; }
    t1=$(now_us)
    if [ "$out" != "$expected" ]; then
      echo "run.sh: $name printed '$out', expected '$expected'" >&2
      exit 1
    fi
    [ "$k" -gt 0 ] && times+=($(( (t1 - t0 + 500) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ v[NR] = $1 } END {
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "substr, 5,000,000 calls: whole-process wall time, median of $runs runs after a warm-up"
echo "  lumo  lumorun ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?'))"
echo "  php   $("$php" -n -v | head -1)"
lumo_ms=$(time_runs lumo "$lumorun" --timeout 120 "$tmp/substr.lmc")
php_ms=$(time_runs php "$php" -n -d opcache.enable_cli=0 -d opcache.jit=off -d memory_limit=-1 \
  "$here/substr.php")
ratio=$(awk -v a="$lumo_ms" -v b="$php_ms" 'BEGIN { if (b == 0) b = 1; printf "%.2f", a / b }')
printf '%-10s %8s %8s %9s\n' program "lumo ms" "php ms" lumo/php
printf '%-10s %8s %8s %9s\n' substr "$lumo_ms" "$php_ms" "$ratio"

status=0
if awk -v r="$ratio" 'BEGIN { exit !(r > 1.5) }'; then
  echo "run.sh: Lumo takes more than 1.5 times PHP's time" >&2
  status=1
fi

# ---------------------------------------------------------------- allocations

cc -O2 -shared -fPIC -o "$tmp/count_allocations.so" "$here/count_allocations.c"
count_for() {
  sed "s/cmpgi i, 5000000/cmpgi i, $1/" "$here/substr.lasm" > "$tmp/n$1.lasm"
  "$lumoasm" "$tmp/n$1.lasm" -o "$tmp/n$1.lmc"
  # --free-at-exit: the process ends through exit(), so the counter reports.
  LD_PRELOAD="$tmp/count_allocations.so" LUMO_ALLOCATION_COUNT="$tmp/count$1" \
    "$lumorun" --free-at-exit --timeout 120 "$tmp/n$1.lmc" >/dev/null
  cat "$tmp/count$1"
}
small=$(count_for 1000000)
large=$(count_for 2000000)
per_call=$(awk -v a="$small" -v b="$large" 'BEGIN { printf "%.4f", (b - a) / 1000000 }')
echo
echo "allocations: $small for 1,000,000 calls, $large for 2,000,000: $per_call per call"
if awk -v p="$per_call" 'BEGIN { exit !(p > 1) }'; then
  echo "run.sh: a bound call allocates more than its result" >&2
  status=1
fi
exit $status
