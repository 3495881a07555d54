#!/bin/sh
# Builds the libFuzzer targets with clang (warnings are errors) into
# build-fuzz/:
#   vm_fuzz    the machine: program images loaded and run
#   expr_fuzz  the expression compiler, and the machine over what it compiles
#   path_fuzz  the sandbox's name resolution and the configuration reader
#   form_fuzz  the form parsers (URL-encoded and multipart), body in pieces
#   head_fuzz  the request head parser, whole and in pieces
#   static_fuzz the static-file rules: path escapes, dates, ranges, default names
#   json_fuzz  the standard library's JSON reader, and its writer over what it reads
#   text_fuzz  the standard library's codecs, ISO 8601 dates, time patterns, numbers
#   stdlib_fuzz the standard library's functions, called by compiled pages
#              (with -dict=tests/fuzz/stdlib.dict, the functions' names)
#   lumoc_fuzz the page compiler, and the machine over what it writes
# and assembles the machine's seed programs (seeds/*.lasm) into
# build-fuzz/corpus/vm/. The other seeds are checked in under corpus/<target>/
# (make_corpus.py writes them); ./test.sh replays every corpus as a test
# (<target>_replay), so an input added there after a fix stays fixed.
# A run writes what it finds to a working corpus in build-fuzz/, named
# first, and reads the checked-in seeds, e.g.:
#   ./build-fuzz/vm_fuzz -max_total_time=60 -artifact_prefix=build-fuzz/crashes/ build-fuzz/corpus/vm
#   ./build-fuzz/form_fuzz -max_total_time=60 -artifact_prefix=build-fuzz/crashes/ \
#       build-fuzz/corpus/form tests/fuzz/corpus/form
# (the same for path_fuzz, expr_fuzz, head_fuzz, json_fuzz, text_fuzz, lumoc_fuzz and
# stdlib_fuzz). A crash reproducer, once fixed,
# goes into tests/fuzz/corpus/<target>/.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
fuzz="$root/tests/fuzz"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_FUZZ=ON -DLUMO_WERROR=ON -DLUMO_TESTS=OFF \
  -DLUMO_BENCH=OFF
cmake --build "$build" -j 2 --target vm_fuzz path_fuzz expr_fuzz form_fuzz head_fuzz static_fuzz json_fuzz \
  text_fuzz lumoc_fuzz stdlib_fuzz lumoasm

lumoasm=$(find "$build" -type f -name lumoasm -perm -u+x | head -n 1)
mkdir -p "$build/crashes"
for target in vm expr path form text stdlib; do mkdir -p "$build/corpus/$target"; done
for seed in "$fuzz"/seeds/*.lasm; do
  name=$(basename "$seed" .lasm)
  "$lumoasm" "$seed" -o "$build/corpus/vm/$name.lmc"
done
echo "fuzz targets: $build/{vm,expr,path,form,head,lumoc}_fuzz; corpora: $build/corpus, $fuzz/corpus"
