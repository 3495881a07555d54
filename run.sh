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

# Until the web server lands, show the machine at work on the bundled
# example program.
"$build/tools/lumoasm" examples/hello.lasm -o "$build/hello.lmc"
"$build/tools/lumorun" "$build/hello.lmc"

cat <<MSG

Lumo Dex is built in $build/.
  $build/tools/lumoasm FILE.lasm      assembles a program (docs/assembly.md)
  $build/tools/lumoasm --list FILE.lmc  lists its code
  $build/tools/lumorun FILE.lmc       runs a compiled program
  $build/bench/lumo_bench             the micro-benchmarks; bench/vm/run.sh compares the VM
  ./test.sh                           builds and runs every test
MSG
