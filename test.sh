#!/usr/bin/env bash
# Builds Lumo Dex with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test. Installs missing build packages first (Debian 12).
set -euo pipefail
cd "$(dirname "$0")"

. scripts/packages.sh
lumo_install_packages

build=build-test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON \
  -DLUMO_TESTS=ON -DLUMO_BENCH=OFF -DLUMO_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
