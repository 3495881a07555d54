#!/usr/bin/env bash
# Builds the Release configuration of Lumo Dex.
set -euo pipefail
cd "$(dirname "$0")"

. scripts/packages.sh
lumo_install_packages

build=build-release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF \
  -DLUMO_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)"

cat <<MSG

Lumo Dex is built in $build/.
The server and the command-line tools arrive with the virtual machine and
the web server; for now the foundation libraries and their benchmarks are
built:
  $build/bench/lumo_bench          the benchmarks (see README.md)
  ./test.sh                        builds and runs every test
MSG
