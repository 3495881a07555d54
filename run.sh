#!/usr/bin/env bash
# Builds the Release configuration of Lumo Dex and serves the demo site
# (examples/site, compiled into build-release/site/) on 127.0.0.1, port
# 8080 or the next free one, until Ctrl-C. Each request is logged to the
# terminal (the access log on standard error).
#
#   ./run.sh [LUMODEX OPTIONS]    # e.g. ./run.sh --port 9000
#
# Options are handed to lumodex after the defaults here, so they win.
set -euo pipefail
cd "$(dirname "$0")"

. scripts/packages.sh
lumo_install_packages

build="build-release"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF \
  -DLUMO_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

# The build made $build/site; what the programs write stays in the build
# directory as well, away from the sources.
mkdir -p "$build/data"

cat <<MSG

Lumo Dex is built in $build/.
  $build/tools/lumodex                the web server (--help for its options)
  $build/tools/lumoasm FILE.lasm      assembles a program (docs/assembly.md)
  $build/tools/lumoasm --list FILE.lmc  lists its code
  $build/tools/lumoc FILE.lum         compiles a page (docs/language.md, docs/tutorial.md)
  $build/tools/lumorun FILE.lmc       runs a compiled program, or a page (try examples/hello.lum)
  $build/bench/lumo_bench             the micro-benchmarks
  bench/vm/run.sh                     the VM against Lua, PHP and Python
  bench/http/run.sh                   the server against nginx and PHP
  ./test.sh                           builds and runs every test

Serving the demo site from $build/site/ until Ctrl-C:
MSG
# A run frees its variables in one burst and the next run allocates them
# again: a larger per-thread cache in the C library's allocator keeps them
# (docs/web.md). A value already in the environment wins.
export GLIBC_TUNABLES="${GLIBC_TUNABLES:-glibc.malloc.tcache_count=256}"
exec "$build/tools/lumodex" --address 127.0.0.1 --port 8080 --find-port \
  --root "$build/site" --data "$build/data" --access-log - "$@"
