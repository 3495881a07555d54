#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer into build-fuzz/: the
# machine (vm_fuzz), the expression compiler (expr_fuzz), the sandbox and configuration reader (path_fuzz). It
# assembles the seed programs (seeds/*.lasm) into corpus/. Then:
#   ./build-fuzz/vm_fuzz -max_total_time=60 -artifact_prefix=tests/fuzz/crashes/ tests/fuzz/corpus
#   ./build-fuzz/path_fuzz -max_total_time=60 -artifact_prefix=tests/fuzz/crashes/
#   ./build-fuzz/expr_fuzz -max_total_time=60 -artifact_prefix=tests/fuzz/crashes/ tests/fuzz/expr_corpus
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
fuzz="$root/tests/fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_FUZZ=ON -DLUMO_TESTS=OFF -DLUMO_BENCH=OFF
cmake --build "$build" --target vm_fuzz path_fuzz expr_fuzz lumoasm

lumoasm=$(find "$build" -type f -name lumoasm -perm -u+x | head -n 1)
mkdir -p "$fuzz/corpus" "$fuzz/crashes"
for seed in "$fuzz"/seeds/*.lasm; do
  name=$(basename "$seed" .lasm)
  "$lumoasm" "$seed" -o "$fuzz/corpus/$name.lmc"
done
echo "fuzz target: $build/vm_fuzz; corpus: $fuzz/corpus"
