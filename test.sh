#!/usr/bin/env bash
# Builds Lumo Dex with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test; then builds the Release server and checks it under an
# address-space limit, which the sanitizers' reservations rule out.
# Installs missing build packages first (Debian 12).
set -euo pipefail
cd "$(dirname "$0")"

. scripts/packages.sh
# Chromium for the escaping test in a real browser (tests/web/browser_escape_test.sh).
lumo_install_packages chromium fonts-dejavu-core

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON \
  -DLUMO_TESTS=ON -DLUMO_BENCH=OFF -DLUMO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && ctest --output-on-failure -j "$(nproc)")

release=build-release
if [ ! -f "$release/CMakeCache.txt" ]; then
  cmake -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_TESTS=OFF \
    -DLUMO_BENCH=ON >/dev/null
fi
cmake --build "$release" -j "$(nproc)" --target lumodex lumoasm lumorun
echo "Release server under an address-space limit:"
tests/web/memory_limit_test.sh "$release/tools/lumodex" "$release/tools/lumoasm" --prlimit
