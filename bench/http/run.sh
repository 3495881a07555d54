#!/usr/bin/env bash
# Lumo Dex over HTTP against nginx (static files) and PHP (php-fpm behind
# nginx, and php -S) on the same pages (see README.md here).
#
#   bench/http/run.sh [--keep-alive] [--duration SECONDS] [--rounds N] [--threads N]
#                     [--connections N]
#   bench/http/run.sh --load [--duration SECONDS]
#   bench/http/run.sh --slow-clients [--duration SECONDS]
#   bench/http/run.sh --idle
#
# Builds build-release/ (lumodex and lumoc) when needed, installs wrk,
# nginx-light, php-fpm and php-cli with apt-get when missing (as root, or
# through sudo; a server that cannot be installed is skipped), makes a
# throw-away site (1 KiB and 100 KiB files, the hello page as a Lumo program
# and in PHP), starts every server on a free loopback port and runs wrk with
# "Connection: close" (with --keep-alive: on persistent connections)
# against each page in turn, all pages once per round;
# a page's figure is the median of its rounds. --load instead runs
# lumodex alone under a long mixed load and reports failed responses, its
# resident memory and its open descriptors. --slow-clients runs wrk on
# lumodex alone with and without 1,000 slow clients beside it
# (slow_clients.py), and times a static file while six endless programs run.
# --idle measures what 5,000 idle connections cost lumodex in resident
# memory (idle_clients.py): kept ones after an answer, and silent ones.
#
# Every process started here is stopped, and the temporary directory
# removed, on exit.
# shellcheck disable=SC2059  # the table layouts are kept in fmt
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build="$root/build-release"

mode=table
duration=""
threads=4
connections=50
rounds=3
keep_alive=no

usage() {
  cat <<'USAGE'
usage: bench/http/run.sh [--keep-alive] [--duration SECONDS] [--rounds N] [--threads N]
                         [--connections N]
       bench/http/run.sh --load [--duration SECONDS]
       bench/http/run.sh --slow-clients [--duration SECONDS]
       bench/http/run.sh --idle
  --keep-alive        every connection carries many requests (wrk's default)
                      instead of one each
  --duration SECONDS  length of each wrk run (default 10; with --load 60)
  --rounds N          runs of every page, interleaved; the median counts (default 3)
  --threads N         wrk threads (default 4)
  --connections N     wrk connections, all open at once (default 50)
  --load              lumodex alone: a static file and a program under one mixed
                      load, reporting failed responses, resident memory and
                      open descriptors before and after
  --slow-clients      lumodex alone: wrk's rate with and without 1,000 clients
                      sending one header byte every 10 s, how long those were
                      kept, and a static file's time beside six endless programs
  --idle              lumodex alone: resident memory per idle connection, for
                      5,000 kept after an answer and 5,000 that sent nothing
USAGE
}

die() {
  echo "run.sh: $*" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --duration) [ $# -ge 2 ] || die "--duration wants a number"; duration=$2; shift 2 ;;
    --duration=*) duration=${1#*=}; shift ;;
    --rounds) [ $# -ge 2 ] || die "--rounds wants a number"; rounds=$2; shift 2 ;;
    --rounds=*) rounds=${1#*=}; shift ;;
    --threads) [ $# -ge 2 ] || die "--threads wants a number"; threads=$2; shift 2 ;;
    --threads=*) threads=${1#*=}; shift ;;
    --connections) [ $# -ge 2 ] || die "--connections wants a number"; connections=$2; shift 2 ;;
    --connections=*) connections=${1#*=}; shift ;;
    --load) mode=load; shift ;;
    --slow-clients) mode=slow; shift ;;
    --idle) mode=idle; shift ;;
    --keep-alive) keep_alive=yes; shift ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
if [ -z "$duration" ]; then
  if [ "$mode" = table ]; then duration=10; else duration=60; fi
fi
[[ "$duration" =~ ^[1-9][0-9]*$ ]] || die "--duration wants a positive number of seconds, not '$duration'"
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || die "--rounds wants a positive number, not '$rounds'"
[[ "$threads" =~ ^[1-9][0-9]*$ ]] || die "--threads wants a positive number, not '$threads'"
[[ "$connections" =~ ^[1-9][0-9]*$ ]] || die "--connections wants a positive number, not '$connections'"
[ "$connections" -ge "$threads" ] || die "--connections must be at least --threads (wrk gives each thread one)"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/lumo-http-bench.XXXXXX")
# nginx's workers and php-fpm's children may run as another user; they need
# to read the site.
chmod 755 "$tmp"
site="$tmp/site"
data="$tmp/data"
mkdir -p "$site" "$data"

# The processes started here, by role: stopped in cleanup, by their ids.
declare -A started=()

stop_process() {
  local pid=$1 k
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((k = 0; k < 50; k++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local role
  for role in "${!started[@]}"; do stop_process "${started[$role]}"; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- packages

. "$here/../apt_install.sh"

find_php_fpm() {
  command -v php-fpm 2>/dev/null && return
  local f
  for f in /usr/sbin/php-fpm*; do
    [ -x "$f" ] && { echo "$f"; return; }
  done
  return 1
}

command -v wrk >/dev/null 2>&1 || apt_install wrk || die "wrk is needed and could not be installed"
command -v curl >/dev/null 2>&1 || apt_install curl || die "curl is needed and could not be installed"
if [ "$mode" = table ]; then
  # One by one, so that one that cannot be had does not keep the others out.
  command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || apt_install nginx-light || true
  find_php_fpm >/dev/null || apt_install php-fpm || true
  command -v php >/dev/null 2>&1 || apt_install php-cli || true
fi

# ------------------------------------------------------------------- build

build_log="$tmp/build.log"
echo "Building lumodex and lumoc in ${build#"$root"/}/ ..." >&2
(
  cd "$root"
  # shellcheck source=../../scripts/packages.sh
  . scripts/packages.sh
  lumo_install_packages
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF -DLUMO_BENCH=ON
  fi
  cmake --build "$build" --target lumodex lumoc lumoasm
) >"$build_log" 2>&1 || {
  cat "$build_log" >&2
  die "building lumodex and lumoc in $build failed"
}
lumodex="$build/tools/lumodex"

# -------------------------------------------------------------------- site

# Text files of exactly 1 KiB and 100 KiB, served as text/html by every
# server, so that only the size differs.
make_page() {
  awk -v n="$1" 'BEGIN {
    s = "<!DOCTYPE html>\n"
    while (length(s) < n) s = s "<p>The quick brown fox jumps over the lazy dog. 0123456789</p>\n"
    printf "%s", substr(s, 1, n)
  }'
}
make_page 1024 >"$site/1k.html"
make_page 102400 >"$site/100k.html"
"$build/tools/lumoc" -I "$root/examples/site" "$root/examples/site/hello.lum" -o "$site/hello.lmc" ||
  die "compiling examples/site/hello.lum failed"
cp "$here/hello.php" "$site/hello.php"
# The argument echoed by the hello pages; '&' shows the encoding at work,
# and both encoders write it alike.
hello_query="Lumo%20%26%20friends"

# -------------------------------------------------------------- the servers

# A port nothing listens on yet, from a random start in 20000..29999.
free_port() {
  local p=$((20000 + RANDOM % 10000)) k
  for ((k = 0; k < 200; k++)); do
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
      echo "$p"
      return
    fi
    p=$((p + 1))
  done
  return 1
}

# wait_ready URL PID NAME: until URL answers 200 (10 s at most).
wait_ready() {
  local url=$1 pid=$2 name=$3 k
  for ((k = 0; k < 100; k++)); do
    kill -0 "$pid" 2>/dev/null || return 1
    [ "$(curl -s -o /dev/null -w '%{http_code}' "$url" 2>/dev/null)" = 200 ] && return 0
    sleep 0.1
  done
  echo "$name did not answer $url within 10 s" >&2
  return 1
}

start_lumodex() {
  # An empty configuration: every default, whatever the user's own file says.
  echo "# bench/http: defaults only" >"$tmp/lumodex.conf"
  # Tuned as ./run.sh runs it (docs/web.md).
  GLIBC_TUNABLES="${GLIBC_TUNABLES:-glibc.malloc.tcache_count=256}" \
    "$lumodex" --config "$tmp/lumodex.conf" --address 127.0.0.1 --port 0 \
    --root "$site" --data "$data" >"$tmp/lumodex.out" 2>"$tmp/lumodex.err" &
  started[lumodex]=$!
  local k
  lumo_port=""
  for ((k = 0; k < 100; k++)); do
    # The shell may not have made the file yet.
    lumo_port=$(sed -n 's|^Lumo Dex serving http://[^:]*:\([0-9]*\)/.*|\1|p' "$tmp/lumodex.out" \
      2>/dev/null || true)
    [ -n "$lumo_port" ] && break
    kill -0 "${started[lumodex]}" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$lumo_port" ]; then
    cat "$tmp/lumodex.err" >&2
    die "lumodex did not start"
  fi
  wait_ready "http://127.0.0.1:$lumo_port/1k.html" "${started[lumodex]}" lumodex ||
    die "lumodex does not serve the site"
}

# php-fpm: 5 children from the start, on a unix socket.
start_php_fpm() {
  local fpm=$1 as_root=()
  {
    echo "[global]"
    echo "pid = $tmp/php-fpm.pid"
    echo "error_log = $tmp/php-fpm.log"
    echo "daemonize = no"
    echo "[bench]"
    if [ "$(id -u)" -eq 0 ]; then echo "user = root"; echo "group = root"; fi
    echo "listen = $tmp/php-fpm.sock"
    echo "listen.mode = 0666"
    echo "pm = static"
    echo "pm.max_children = 5"
  } >"$tmp/php-fpm.conf"
  [ "$(id -u)" -eq 0 ] && as_root=(-R)
  "$fpm" -F -y "$tmp/php-fpm.conf" "${as_root[@]}" >"$tmp/php-fpm.out" 2>&1 &
  started[php-fpm]=$!
}

# nginx: 2 workers, the distribution's usual sendfile, no access log (lumodex
# keeps none either), PHP through php-fpm.
start_nginx() {
  local bin=$1 port=$2 user_line="" temp_lines="" t
  [ "$(id -u)" -eq 0 ] && user_line="user root root;"
  mkdir -p "$tmp/nginx"
  # Only the temporary paths this build knows (a module left out of the
  # build makes its directive an error).
  for t in client-body fastcgi proxy scgi uwsgi; do
    if "$bin" -V 2>&1 | grep -q -- "--http-$t-temp-path" || [ "$t" = client-body ]; then
      mkdir -p "$tmp/nginx/$t"
      temp_lines+="  ${t//-/_}_temp_path $tmp/nginx/$t;"$'\n'
    fi
  done
  cat >"$tmp/nginx.conf" <<CONF
$user_line
worker_processes 2;
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log warn;
events {
  worker_connections 1024;
}
http {
  types {
    text/html html;
  }
  default_type application/octet-stream;
  access_log off;
  sendfile on;
  tcp_nopush on;
$temp_lines
  server {
    listen 127.0.0.1:$port;
    root $site;
    location ~ \.php\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_pass unix:$tmp/php-fpm.sock;
    }
  }
}
CONF
  "$bin" -p "$tmp/nginx/" -e "$tmp/nginx/error.log" -c "$tmp/nginx.conf" -g 'daemon off;' \
    >"$tmp/nginx/out" 2>&1 &
  started[nginx]=$!
}

start_php_builtin() {
  local bin=$1 port=$2
  # It logs a line or two per request; the file is thrown away with $tmp.
  "$bin" -S "127.0.0.1:$port" -t "$site" >"$tmp/php-s.log" 2>&1 &
  started[php-s]=$!
}

# ------------------------------------------------------------------- wrk

# run_wrk NAME URL [wrk options...]: sets rps, latency, p99, non2xx,
# sockerr, requests from one wrk run; its output is kept in $tmp/wrk-NAME.
run_wrk() {
  local name=$1 url=$2
  shift 2
  local close=(-H 'Connection: close')
  [ "$keep_alive" = yes ] && close=()
  wrk -t "$threads" -c "$connections" -d "${duration}s" --latency "${close[@]}" \
    "$@" "$url" >"$tmp/wrk-$name" 2>&1 || true
  rps=$(awk '/^Requests\/sec:/ { printf "%.0f", $2 }' "$tmp/wrk-$name")
  requests=$(awk '/requests in/ { print $1 }' "$tmp/wrk-$name")
  latency=$(awk '$1 == "Latency" { print $2; exit }' "$tmp/wrk-$name")
  p99=$(awk '$1 == "99%" { print $2 }' "$tmp/wrk-$name")
  non2xx=$(awk '/Non-2xx or 3xx responses:/ { print $NF }' "$tmp/wrk-$name")
  sockerr=$(awk '/Socket errors:/ {
    n = 0; for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+,?$/) n += $i; print n }' "$tmp/wrk-$name")
  rps=${rps:-0}
  requests=${requests:-0}
  latency=${latency:--}
  p99=${p99:--}
  non2xx=${non2xx:-0}
  sockerr=${sockerr:-0}
  sockdetail=$(sed -n 's/^ *Socket errors: //p' "$tmp/wrk-$name")
  if [ "$rps" = 0 ]; then
    echo "wrk against $url gave no result:" >&2
    sed 's/^/  /' "$tmp/wrk-$name" >&2
  fi
}

# ratio A B: A / B, as text.
ratio() {
  local a=$1 b=$2
  if [[ "$a" =~ ^[0-9]+$ ]] && [[ "$b" =~ ^[1-9][0-9]*$ ]]; then
    awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f\n", a / b }'
  else
    echo "-"
  fi
}

lumo_version="lumodex ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')$(
  git -C "$root" diff --quiet HEAD -- core values web tools 2>/dev/null || echo ', modified'))"

# --------------------------------------------------------------- --load

proc_field() {
  awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null
}
fd_count() {
  find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l
}

# time_static COUNT: the median and the longest time of COUNT fetches of
# the 1 KiB file, in milliseconds. The client runs ahead of the busy
# programs when it may (as root), so that the figure is the server's
# delay, not the client's own wait for a processor.
time_static() {
  local k ahead=()
  [ "$(id -u)" = 0 ] && ahead=(nice -n -10)
  for ((k = 0; k < $1; k++)); do
    "${ahead[@]}" curl -s -o /dev/null -w '%{time_total}\n' "http://127.0.0.1:$lumo_port/1k.html"
  done | sort -n | awk '{ t[NR] = $1 * 1000 } END { printf "%.1f / %.1f ms", t[int((NR + 1) / 2)], t[NR] }'
}

# write_mix: a wrk script alternating between the 1 KiB file and the hello
# program, in $tmp/mix.lua.
write_mix() {
  cat >"$tmp/mix.lua" <<LUA
local paths = { "/1k.html", "/hello.lmc?$hello_query" }
local n = 0
request = function()
  n = n + 1
  return wrk.format(nil, paths[n % 2 + 1])
end
LUA
}

# idle_memory KIND: lumodex's resident memory (KiB) with 5,000 idle
# connections of that kind open, less what it held before; "-" when they
# could not all be opened.
idle_memory() {
  local pid=${started[lumodex]} before after out="$tmp/idle-$1.out"
  sleep 1
  before=$(proc_field "$pid" VmRSS)
  python3 "$here/idle_clients.py" 127.0.0.1 "$lumo_port" 5000 "$1" 6 >"$out" 2>&1 &
  local client=$!
  for ((k = 0; k < 300; k++)); do
    grep -q '^ready' "$out" && break
    sleep 0.1
  done
  after=$(proc_field "$pid" VmRSS)
  wait "$client" || true
  if ! grep -qx 'ready 5000' "$out"; then
    echo "-"
    sed 's/^/  /' "$out" >&2
    return
  fi
  echo $((after - before))
}

if [ "$mode" = idle ]; then
  echo "$lumo_version: resident memory for 5,000 idle connections"
  for kind in kept silent; do
    # A fresh server for each kind: memory the first kind's connections
    # left to the allocator would hide what the second costs.
    [ -n "${started[lumodex]:-}" ] && stop_process "${started[lumodex]}"
    start_lumodex
    curl -s -o /dev/null "http://127.0.0.1:$lumo_port/1k.html"
    grown=$(idle_memory "$kind")
    if [ "$grown" = - ]; then
      printf '%-40s %s\n' "$kind" "not all connections could be opened"
    else
      printf '%-40s %s\n' "$kind" "+$((grown / 1024)) MiB, $(awk -v g="$grown" 'BEGIN { printf "%.2f", g / 5000 }') KiB each"
    fi
  done
  exit 0
fi

if [ "$mode" = slow ]; then
  start_lumodex
  printf 'loop: jmp loop\n' >"$tmp/loop.lasm"
  "$build/tools/lumoasm" "$tmp/loop.lasm" -o "$site/loop.lmc" || die "assembling loop.lasm failed"
  write_mix
  echo "$lumo_version on 127.0.0.1:$lumo_port; wrk: $threads threads, $connections connections," \
    "$([ "$keep_alive" = yes ] && echo keep-alive || echo 'Connection: close'), /1k.html and /hello.lmc alternately"
  saved_duration=$duration
  duration=5
  run_wrk warmup "http://127.0.0.1:$lumo_port/" -s "$tmp/mix.lua"
  duration=$saved_duration
  echo "wrk alone, $duration s ..." >&2
  run_wrk alone "http://127.0.0.1:$lumo_port/" -s "$tmp/mix.lua"
  alone_rps=$rps alone_errors=$((non2xx + sockerr))
  echo "wrk beside 1,000 slow clients, $duration s ..." >&2
  python3 "$here/slow_clients.py" 127.0.0.1 "$lumo_port" 1000 $((duration + 4)) 10 \
    >"$tmp/slow.out" 2>&1 &
  started[slow]=$!
  sleep 2
  run_wrk beside "http://127.0.0.1:$lumo_port/" -s "$tmp/mix.lua"
  beside_rps=$rps beside_errors=$((non2xx + sockerr))
  wait "${started[slow]}" || true
  unset 'started[slow]'
  echo
  printf '%-40s %s\n' "wrk alone" "$alone_rps requests/s ($alone_errors failed)"
  printf '%-40s %s\n' "wrk beside 1,000 slow clients" "$beside_rps requests/s ($beside_errors failed)"
  printf '%-40s %s\n' "beside / alone" "$(ratio "$beside_rps" "$alone_rps")"
  sed 's/^/  /' "$tmp/slow.out"

  echo "A static file beside six endless programs ..." >&2
  before=$(time_static 50)
  loops=()
  for ((k = 0; k < 6; k++)); do
    curl -s -o /dev/null --max-time 120 "http://127.0.0.1:$lumo_port/loop.lmc" &
    loops+=($!)
  done
  sleep 1
  during=$(time_static 50)
  kill "${loops[@]}" 2>/dev/null || true
  printf '%-40s %s\n' "1 KiB file, median / longest, idle" "$before"
  printf '%-40s %s\n' "the same beside six endless programs" "$during"
  exit 0
fi

if [ "$mode" = load ]; then
  start_lumodex
  pid=${started[lumodex]}
  static_url="http://127.0.0.1:$lumo_port/1k.html"
  program_url="http://127.0.0.1:$lumo_port/hello.lmc?$hello_query"
  # One wrk alternates between the two pages, so both share the same 50
  # connections for the whole run.
  write_mix
  expected=$(curl -s "$program_url")
  fds_start=$(fd_count "$pid")
  echo "$lumo_version on 127.0.0.1:$lumo_port; wrk: $threads threads, $connections connections," \
    "Connection: close, /1k.html and /hello.lmc alternately"
  saved_duration=$duration
  duration=5
  echo "Warm-up, 5 s ..." >&2
  run_wrk warmup "http://127.0.0.1:$lumo_port/" -s "$tmp/mix.lua"
  duration=$saved_duration
  sleep 1
  rss_warm=$(proc_field "$pid" VmRSS)
  fds_before=$(fd_count "$pid")

  echo "Load, $duration s ..." >&2
  # Resident memory every 10 s while the load runs: a leak shows as a climb.
  (
    while sleep 10; do
      kill -0 "$pid" 2>/dev/null || exit 0
      proc_field "$pid" VmRSS
    done
  ) >"$tmp/rss-trace" &
  sampler=$!
  started[sampler]=$sampler
  run_wrk load "http://127.0.0.1:$lumo_port/" -s "$tmp/mix.lua"
  stop_process "$sampler"
  unset 'started[sampler]'
  load_rps=$rps load_requests=$requests load_non2xx=$non2xx load_sockerr=$sockerr
  load_latency=$latency load_p99=$p99
  # Connections still closing are not a leak: let them go first.
  sleep 2
  rss_after=$(proc_field "$pid" VmRSS)
  rss_peak=$(proc_field "$pid" VmHWM)
  fds_after=$(fd_count "$pid")
  threads_after=$(proc_field "$pid" Threads)

  healthy=yes
  kill -0 "$pid" 2>/dev/null || healthy="no: lumodex has exited"
  if [ "$healthy" = yes ]; then
    [ "$(curl -s "$static_url" | cmp - "$site/1k.html" >/dev/null 2>&1 && echo ok)" = ok ] ||
      healthy="no: the static file came back wrong"
    [ "$(curl -s "$program_url")" = "$expected" ] || healthy="no: the program's page came back wrong"
  fi

  echo
  printf '%-34s %s\n' "requests (all pages)" "$load_requests in ${duration} s, $load_rps/s"
  printf '%-34s %s\n' "latency avg / 99%" "$load_latency / $load_p99"
  printf '%-34s %s\n' "failed: non-2xx responses" "$load_non2xx"
  printf '%-34s %s\n' "failed: socket errors" "$load_sockerr${sockdetail:+ ($sockdetail)}"
  printf '%-34s %s\n' "VmRSS after 5 s warm-up" "${rss_warm:-?} kB"
  printf '%-34s %s\n' "VmRSS every 10 s under load" "$(tr '\n' ' ' <"$tmp/rss-trace")kB"
  printf '%-34s %s\n' "VmRSS after the run (idle)" "${rss_after:-?} kB"
  printf '%-34s %s\n' "VmHWM (peak)" "${rss_peak:-?} kB"
  printf '%-34s %s\n' "open descriptors at start" "$fds_start"
  printf '%-34s %s\n' "open descriptors idle before" "$fds_before"
  printf '%-34s %s\n' "open descriptors idle after" "$fds_after"
  printf '%-34s %s\n' "threads after" "${threads_after:-?}"
  printf '%-34s %s\n' "still serving correctly" "$healthy"

  status=0
  if [ "$load_non2xx" != 0 ] || [ "$load_sockerr" != 0 ]; then
    echo "run.sh: responses failed under load (wrk output in full below)" >&2
    sed 's/^/  /' "$tmp/wrk-load" >&2
    status=1
  fi
  if [ "$fds_after" -gt "$fds_before" ]; then
    echo "run.sh: lumodex holds $((fds_after - fds_before)) more descriptor(s) than before the load" >&2
    status=1
  fi
  [ "$healthy" = yes ] || status=1
  exit "$status"
fi

# --------------------------------------------------------------- the table

nginx_bin=$(command -v nginx 2>/dev/null || { [ -x /usr/sbin/nginx ] && echo /usr/sbin/nginx; } || true)
fpm_bin=$(find_php_fpm || true)
php_bin=$(command -v php 2>/dev/null || true)

start_lumodex
declare -A skip=()
nginx_port=""
php_s_port=""
if [ -n "$nginx_bin" ]; then
  nginx_port=$(free_port) || die "no free port for nginx"
  if [ -n "$fpm_bin" ]; then start_php_fpm "$fpm_bin"; else skip[php-fpm]="php-fpm not available"; fi
  start_nginx "$nginx_bin" "$nginx_port"
  if ! wait_ready "http://127.0.0.1:$nginx_port/1k.html" "${started[nginx]}" nginx; then
    sed 's/^/  /' "$tmp/nginx/error.log" "$tmp/nginx/out" >&2 2>/dev/null || true
    skip[nginx]="nginx did not start"
    skip[php-fpm]="nginx did not start"
  elif [ -z "${skip[php-fpm]-}" ] &&
       ! wait_ready "http://127.0.0.1:$nginx_port/hello.php" "${started[php-fpm]}" php-fpm; then
    sed 's/^/  /' "$tmp/php-fpm.out" "$tmp/php-fpm.log" >&2 2>/dev/null || true
    skip[php-fpm]="php-fpm did not start"
  fi
else
  skip[nginx]="nginx not available"
  skip[php-fpm]="nginx not available"
fi
if [ -n "$php_bin" ]; then
  php_s_port=$(free_port) || die "no free port for php -S"
  start_php_builtin "$php_bin" "$php_s_port"
  if ! wait_ready "http://127.0.0.1:$php_s_port/hello.php" "${started[php-s]}" "php -S"; then
    sed 's/^/  /' "$tmp/php-s.log" >&2 2>/dev/null || true
    skip[php-s]="php -S did not start"
  fi
else
  skip[php-s]="php not available"
fi

# The rows: name, server, URL.
rows=()
declare -A row_url=() row_server=()
add_row() {
  rows+=("$1")
  row_server[$1]=$2
  row_url[$1]=$3
}
add_row "lumo 1 KiB" lumo "http://127.0.0.1:$lumo_port/1k.html"
add_row "nginx 1 KiB" nginx "http://127.0.0.1:$nginx_port/1k.html"
add_row "lumo 100 KiB" lumo "http://127.0.0.1:$lumo_port/100k.html"
add_row "nginx 100 KiB" nginx "http://127.0.0.1:$nginx_port/100k.html"
add_row "lumo hello" lumo "http://127.0.0.1:$lumo_port/hello.lmc?$hello_query"
add_row "php-fpm hello" php-fpm "http://127.0.0.1:$nginx_port/hello.php?$hello_query"
add_row "php -S hello" php-s "http://127.0.0.1:$php_s_port/hello.php?$hello_query"

echo "Lumo Dex against nginx and PHP over HTTP: wrk, $threads threads, $connections connections," \
  "${duration} s per page, median of $rounds rounds, $([ "$keep_alive" = yes ] && echo keep-alive || echo 'Connection: close'), $(nproc) CPU(s) shared by servers and wrk"
# Anything else busy on the machine takes from every figure.
printf '  %-8s %s\n' load "$(cut -d' ' -f1-3 /proc/loadavg) (load average before the runs)"
printf '  %-8s %s\n' lumo "$lumo_version, 5 workers and one event loop per CPU (8 at most)"
if [ -z "${skip[nginx]-}" ]; then
  printf '  %-8s %s\n' nginx "$("$nginx_bin" -v 2>&1 | sed 's/^nginx version: //'), 2 worker processes"
else
  printf '  %-8s skipped: %s\n' nginx "${skip[nginx]}"
fi
if [ -z "${skip[php-fpm]-}" ]; then
  opcache=$("$fpm_bin" -i 2>/dev/null | awk '$1 == "opcache.enable" { print $3; exit }')
  printf '  %-8s %s\n' php-fpm "$("$fpm_bin" -v 2>/dev/null | head -1 | cut -d' ' -f1-2), 5 static children, opcache ${opcache:-off}"
else
  printf '  %-8s skipped: %s\n' php-fpm "${skip[php-fpm]}"
fi
if [ -z "${skip[php-s]-}" ]; then
  printf '  %-8s %s\n' "php -S" "$("$php_bin" -v 2>/dev/null | head -1 | cut -d' ' -f1-2), built-in server, one process"
else
  printf '  %-8s skipped: %s\n' "php -S" "${skip[php-s]}"
fi

# Each page is checked before it is timed: a server that answers the wrong
# bytes quickly measures nothing.
failures=0
lumo_hello=$(curl -s "${row_url[lumo hello]}")
declare -A result=() result_lat=() result_p99=() result_non2xx=() result_sock=() result_detail=()
for r in "${rows[@]}"; do
  s=${row_server[$r]}
  if [ "$s" != lumo ] && [ -n "${skip[$s]-}" ]; then
    result[$r]=skipped
    continue
  fi
  url=${row_url[$r]}
  curl -s -o "$tmp/page" "$url" || true
  case "$r" in
    *"1 KiB") cmp -s "$tmp/page" "$site/1k.html" || result[$r]=wrong ;;
    *"100 KiB") cmp -s "$tmp/page" "$site/100k.html" || result[$r]=wrong ;;
    *hello) [ "$(cat "$tmp/page")" = "$lumo_hello" ] && [ -n "$lumo_hello" ] || result[$r]=wrong ;;
  esac
  if [ "${result[$r]-}" = wrong ]; then
    echo "FAILED: $url did not answer the expected page" >&2
    failures=$((failures + 1))
    continue
  fi
done

# The rounds: every page once per round, so that whatever else the machine
# does in a given minute weighs on every server alike.
declare -A rps_list=()
for ((round = 1; round <= rounds; round++)); do
  for r in "${rows[@]}"; do
    [ -z "${result[$r]-}" ] || [ "${result[$r]}" = measured ] || continue
    s=${row_server[$r]}
    printf '%-14s round %d' "$r" "$round" >&2
    run_wrk "${r// /-}" "${row_url[$r]}"
    result[$r]=measured
    rps_list[$r]="${rps_list[$r]-} $rps"
    result_lat[$r]=$latency
    result_p99[$r]=$p99
    result_non2xx[$r]=$(( ${result_non2xx[$r]-0} + non2xx ))
    result_sock[$r]=$(( ${result_sock[$r]-0} + sockerr ))
    [ -z "$sockdetail" ] || result_detail[$r]=$sockdetail
    printf ' %s requests/s\n' "$rps" >&2
    if [ "$s" = lumo ] && { [ "$non2xx" != 0 ] || [ "$sockerr" != 0 ] || [ "$rps" = 0 ]; }; then
      failures=$((failures + 1))
    fi
  done
done
for r in "${rows[@]}"; do
  [ "${result[$r]-}" = measured ] || continue
  result[$r]=$(tr ' ' '\n' <<<"${rps_list[$r]}" | grep . | sort -n |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }')
done
echo >&2

fmt='%-14s %11s %10s %10s %9s %13s\n'
echo
printf "$fmt" page "requests/s" "latency" "99%" "non-2xx" "socket errors"
for r in "${rows[@]}"; do
  printf "$fmt" "$r" "${result[$r]}" "${result_lat[$r]--}" "${result_p99[$r]--}" \
    "${result_non2xx[$r]--}" "${result_sock[$r]--}"
done
for r in "${rows[@]}"; do
  if [ -n "${result_detail[$r]-}" ]; then echo "  $r socket errors: ${result_detail[$r]}"; fi
done

echo
fmt='%-34s %6s\n'
printf "$fmt" "lumo 1 KiB / nginx 1 KiB" "$(ratio "${result[lumo 1 KiB]}" "${result[nginx 1 KiB]}")"
printf "$fmt" "lumo 100 KiB / nginx 100 KiB" "$(ratio "${result[lumo 100 KiB]}" "${result[nginx 100 KiB]}")"
printf "$fmt" "lumo hello / php-fpm hello" "$(ratio "${result[lumo hello]}" "${result[php-fpm hello]}")"
printf "$fmt" "lumo hello / php -S hello" "$(ratio "${result[lumo hello]}" "${result[php -S hello]}")"
printf "$fmt" "lumo hello / lumo 1 KiB" "$(ratio "${result[lumo hello]}" "${result[lumo 1 KiB]}")"

if [ "$failures" -gt 0 ]; then
  echo >&2
  echo "run.sh: $failures page(s) answered wrongly, or Lumo Dex failed requests (see above)" >&2
  exit 1
fi
