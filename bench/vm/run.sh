#!/usr/bin/env bash
# Whole-process comparison of the Lumo VM with Lua 5.4, PHP 8.2 (CLI, no
# opcache, no JIT) and Python 3 on four small programs (see README.md here).
#
#   bench/vm/run.sh [--runs N] [--only a,c] [--timeout SECONDS]
#
# Builds build-release/ (lumoasm and lumorun) when needed, installs missing
# interpreters with apt-get (as root, or through sudo; a language that cannot
# be installed is skipped), checks every program's output, and prints the
# median wall time of N runs per program and language, the ratios of Lumo to
# the others, and the peak resident memory.
#
# Interpreters can be chosen with LUA=..., PHP=..., PYTHON=... in the
# environment.
# shellcheck disable=SC2059  # the table layouts are kept in fmt
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build-release"

runs=5
limit=60
only="a,b,c,d"

usage() {
  cat <<'USAGE'
usage: bench/vm/run.sh [--runs N] [--only a,c] [--timeout SECONDS]
  --runs N           timed runs per program and language (median reported; default 5)
  --only LIST        programs to run, by letter or name: a sum, b concat, c calls,
                     d members (default all)
  --timeout SECONDS  limit of one run (default 60); a run that reaches it shows
                     as "timeout" and is not repeated
USAGE
}

die() {
  echo "run.sh: $*" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs wants a number"; runs=$2; shift 2 ;;
    --runs=*) runs=${1#*=}; shift ;;
    --only) [ $# -ge 2 ] || die "--only wants a list"; only=$2; shift 2 ;;
    --only=*) only=${1#*=}; shift ;;
    --timeout) [ $# -ge 2 ] || die "--timeout wants a number"; limit=$2; shift 2 ;;
    --timeout=*) limit=${1#*=}; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || die "--runs wants a positive number, not '$runs'"
[[ "$limit" =~ ^[1-9][0-9]*$ ]] || die "--timeout wants a positive number of seconds, not '$limit'"

# The programs: letter, file name, expected output.
all_letters=(a b c d)
declare -A prog_name=([a]=sum [b]=concat [c]=calls [d]=members)
declare -A prog_expect=([a]=50000005000000 [b]=5888896 [c]=5000001 [d]=500000500000)

letters=()
IFS=',' read -r -a wanted <<<"$only"
for w in "${wanted[@]}"; do
  w=${w// /}
  [ -n "$w" ] || continue
  found=""
  for l in "${all_letters[@]}"; do
    if [ "$w" = "$l" ] || [ "$w" = "${prog_name[$l]}" ]; then found=$l; fi
  done
  [ -n "$found" ] || die "--only: unknown program '$w' (a sum, b concat, c calls, d members)"
  case " ${letters[*]-} " in *" $found "*) ;; *) letters+=("$found") ;; esac
done
[ ${#letters[@]} -gt 0 ] || die "--only selects no program"
# Keep the table in a..d order whatever the order given.
mapfile -t letters < <(printf '%s\n' "${letters[@]}" | sort)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/lumo-vm-bench.XXXXXX")
cleanup() { rm -rf "$tmp"; }
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- packages

. "$here/../apt_install.sh"

# ------------------------------------------------------------------- build

build_log="$tmp/build.log"
echo "Building lumoasm, lumoc and lumorun in ${build#"$root"/}/ ..." >&2
(
  cd "$root"
  # shellcheck source=../../scripts/packages.sh
  . scripts/packages.sh
  lumo_install_packages
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF -DLUMO_BENCH=ON
  fi
  cmake --build "$build" --target lumoasm lumoc lumorun
) >"$build_log" 2>&1 || {
  cat "$build_log" >&2
  die "building lumoasm, lumoc and lumorun in $build failed"
}
lumoasm="$build/tools/lumoasm"
lumoc="$build/tools/lumoc"
lumorun="$build/tools/lumorun"

# Each program twice: assembled by hand (.lasm) and compiled from a page
# (.lum); the two should run alike.
for l in "${letters[@]}"; do
  n=${prog_name[$l]}
  "$lumoasm" "$here/$n.lasm" -o "$tmp/$n.lmc" || die "assembling $n.lasm failed"
  "$lumoc" "$here/$n.lum" -o "$tmp/$n.page.lmc" || die "compiling $n.lum failed"
done

# ------------------------------------------------------------ interpreters

langs=(lumo lumoc lua php python)
declare -A lang_bin=([lumo]="$lumorun" [lumoc]="$lumorun")
declare -A lang_version=()
declare -A lang_skip=()

# Missing interpreters are installed one by one, so that one that cannot be
# had does not keep the others out.
[ -n "${LUA:-}" ] || command -v lua5.4 >/dev/null 2>&1 || apt_install lua5.4 || true
[ -n "${PHP:-}" ] || command -v php8.2 >/dev/null 2>&1 || apt_install php8.2-cli || true
[ -n "${PYTHON:-}" ] || command -v python3 >/dev/null 2>&1 || apt_install python3 || true
# GNU time gives the peak resident memory.
[ -x /usr/bin/time ] || apt_install time || true

find_lua() {
  command -v "${LUA:-lua5.4}"
}
find_php() {
  command -v "${PHP:-php8.2}"
}
find_python() {
  if [ -n "${PYTHON:-}" ]; then command -v "$PYTHON"; return; fi
  # The distribution's build first (what apt installs); otherwise python3 on
  # the path, resolved to the interpreter itself so that a wrapper such as a
  # pyenv shim is not timed with it.
  if [ -x /usr/bin/python3 ]; then echo /usr/bin/python3; return; fi
  python3 -c 'import sys; print(sys.executable)' 2>/dev/null
}

if bin=$(find_lua); then lang_bin[lua]=$bin; else lang_skip[lua]="${LUA:-lua5.4} not available"; fi
if bin=$(find_php); then lang_bin[php]=$bin; else lang_skip[php]="${PHP:-php8.2} not available"; fi
if bin=$(find_python); then lang_bin[python]=$bin; else lang_skip[python]="${PYTHON:-python3} not available"; fi

lang_version[lumo]="lumorun ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$(
  git -C "$root" diff --quiet HEAD -- core values tools 2>/dev/null || echo ', modified'))"
lang_version[lumoc]="the same, running the programs compiled from bench/vm/*.lum"
[ -z "${lang_skip[lua]-}" ] && lang_version[lua]=$("${lang_bin[lua]}" -v 2>&1 | head -1 || true)
[ -z "${lang_skip[php]-}" ] && lang_version[php]=$("${lang_bin[php]}" -n -v 2>&1 | head -1 || true)
[ -z "${lang_skip[python]-}" ] && lang_version[python]=$("${lang_bin[python]}" -VV 2>&1 | head -1 || true)

timebin=""
[ -x /usr/bin/time ] && timebin=/usr/bin/time

# lang_command LANG PROGRAM: fills cmd with the command line of one run.
lang_command() {
  local bin=${lang_bin[$1]} n=$2
  case "$1" in
    lumo) cmd=("$bin" --timeout "$limit" "$tmp/$n.lmc") ;;
    lumoc) cmd=("$bin" --timeout "$limit" "$tmp/$n.page.lmc") ;;
    lua) cmd=("$bin" "$here/lua/$n.lua") ;;
    # -n: no php.ini, so no opcache either; memory_limit as Debian's CLI
    # configuration has it (the built-in default is 128M).
    php) cmd=("$bin" -n -d opcache.enable_cli=0 -d opcache.jit=off -d memory_limit=-1
              "$here/php/$n.php") ;;
    python) cmd=("$bin" "$here/python/$n.py") ;;
  esac
}

# ------------------------------------------------------------------ timing

now_us() {
  if [ -n "${EPOCHREALTIME:-}" ]; then
    local t=${EPOCHREALTIME/[.,]/}
    echo "$t"
  else
    date +%s%6N
  fi
}

# run_once EXPECTED: runs "${cmd[@]}" once; sets run_status (ok, timeout,
# wrong, error), run_ms and run_kb.
run_once() {
  local expected=$1 rc=0 t0 t1 got
  # The outer limit only guards against a lumorun that ignores its own.
  local outer=$limit
  [ "${cmd[0]}" = "$lumorun" ] && outer=$((limit + 10))
  : >"$tmp/time"
  t0=$(now_us)
  if [ -n "$timebin" ]; then
    "$timebin" -f "%e %M" -o "$tmp/time" timeout --foreground -k 5 "$outer" "${cmd[@]}" \
      >"$tmp/out" 2>"$tmp/err" </dev/null || rc=$?
  else
    timeout --foreground -k 5 "$outer" "${cmd[@]}" >"$tmp/out" 2>"$tmp/err" </dev/null || rc=$?
  fi
  t1=$(now_us)
  run_ms=$(( (t1 - t0 + 500) / 1000 ))
  run_kb=""
  [ -n "$timebin" ] && run_kb=$(tail -n 1 "$tmp/time" | awk 'NF == 2 { print $2 }')
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ] ||
     { [ "$rc" -ne 0 ] && grep -q "timed out" "$tmp/out" "$tmp/err"; }; then
    run_status=timeout
    return
  fi
  got=$(head -c 300 "$tmp/out")
  if [ "$rc" -ne 0 ]; then
    run_status=error
    {
      echo; echo "FAILED: ${cmd[*]} exited with status $rc"
      if [ -s "$tmp/out" ]; then echo "  stdout: $got"; fi
      if [ -s "$tmp/err" ]; then sed 's/^/  stderr: /' "$tmp/err" | head -n 10; fi
    } >&2
    return
  fi
  if [ "$got" != "$expected" ]; then
    run_status=wrong
    { echo; echo "FAILED: ${cmd[*]} printed '$got', expected '$expected'"; } >&2
    return
  fi
  run_status=ok
}

median() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR == 0) exit
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A result=()   # [lang,letter] = milliseconds, or timeout/wrong/error/skipped
declare -A peak=()     # [lang,letter] = peak RSS in KB
failures=0

echo "Lumo VM against Lua, PHP and Python: whole-process wall time, median of" \
  "$runs run(s) after one warm-up run, limit ${limit}s per run"
for lang in "${langs[@]}"; do
  if [ -n "${lang_skip[$lang]-}" ]; then
    printf '  %-7s skipped: %s\n' "$lang" "${lang_skip[$lang]}"
  else
    printf '  %-7s %s\n' "$lang" "${lang_version[$lang]}"
  fi
done
echo

for l in "${letters[@]}"; do
  n=${prog_name[$l]}
  for lang in "${langs[@]}"; do
    if [ -n "${lang_skip[$lang]-}" ]; then
      result[$lang,$l]=skipped
      continue
    fi
    lang_command "$lang" "$n"
    printf '%s %-8s %-7s' "$l" "$n" "$lang" >&2
    # The warm-up run is checked too; a program that times out once is not
    # run again.
    run_once "${prog_expect[$l]}"
    times=()
    kb_max=${run_kb:-0}
    if [ "$run_status" = ok ]; then
      for ((k = 0; k < runs; k++)); do
        run_once "${prog_expect[$l]}"
        [ "$run_status" = ok ] || break
        times+=("$run_ms")
        [ -n "$run_kb" ] && [ "$run_kb" -gt "$kb_max" ] && kb_max=$run_kb
        printf ' %s' "$run_ms" >&2
      done
    fi
    if [ "$run_status" = ok ]; then
      result[$lang,$l]=$(printf '%s\n' "${times[@]}" | median)
      [ -n "$timebin" ] && peak[$lang,$l]=$kb_max
      echo " ms" >&2
    else
      result[$lang,$l]=$run_status
      [ "$run_status" = timeout ] || failures=$((failures + 1))
      echo " $run_status" >&2
    fi
  done
done
echo >&2

# ------------------------------------------------------------------- table

# ratio A B: Lumo's time A over another's B, as text.
ratio() {
  local a=$1 b=$2
  if [[ "$a" =~ ^[0-9]+$ ]] && [[ "$b" =~ ^[0-9]+$ ]]; then
    awk -v a="$a" -v b="$b" 'BEGIN { if (b == 0) b = 1; printf "%.2f\n", a / b }'
  elif [ "$a" = timeout ] && [[ "$b" =~ ^[0-9]+$ ]]; then
    awk -v a="$((limit * 1000))" -v b="$b" 'BEGIN { if (b == 0) b = 1; printf ">%.0f\n", a / b }'
  elif [[ "$a" =~ ^[0-9]+$ ]] && [ "$b" = timeout ]; then
    awk -v a="$a" -v b="$((limit * 1000))" 'BEGIN { printf "<%.2g\n", a / b }'
  else
    echo "-"
  fi
}

fmt='%-11s %9s %9s %11s %9s %9s %9s %10s %10s %12s\n'
printf "$fmt" program "lumo ms" "lumoc ms" "lumoc/lumo" "lua ms" "php ms" "python ms" lumo/lua \
  lumo/php lumo/python
for l in "${letters[@]}"; do
  printf "$fmt" "$l ${prog_name[$l]}" \
    "${result[lumo,$l]}" "${result[lumoc,$l]}" "$(ratio "${result[lumoc,$l]}" "${result[lumo,$l]}")" \
    "${result[lua,$l]}" "${result[php,$l]}" "${result[python,$l]}" \
    "$(ratio "${result[lumo,$l]}" "${result[lua,$l]}")" \
    "$(ratio "${result[lumo,$l]}" "${result[php,$l]}")" \
    "$(ratio "${result[lumo,$l]}" "${result[python,$l]}")"
done

if [ -n "$timebin" ]; then
  echo
  fmt='%-11s %9s %9s %9s %9s %9s\n'
  printf "$fmt" "peak RSS" "lumo MB" "lumoc MB" "lua MB" "php MB" "python MB"
  for l in "${letters[@]}"; do
    row=()
    for lang in "${langs[@]}"; do
      if [ -n "${peak[$lang,$l]-}" ]; then
        row+=("$(awk -v k="${peak[$lang,$l]}" 'BEGIN { printf "%.1f", k / 1024 }')")
      else
        row+=("-")
      fi
    done
    printf "$fmt" "$l ${prog_name[$l]}" "${row[@]}"
  done
fi

if [ "$failures" -gt 0 ]; then
  echo >&2
  echo "run.sh: $failures program run(s) failed or printed a wrong result (see above)" >&2
  exit 1
fi
