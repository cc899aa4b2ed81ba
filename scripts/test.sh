#!/usr/bin/env bash
# Builds and runs every test: a normal build (with the example host built against the
# installed package), then an AddressSanitizer+UndefinedBehaviorSanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

echo "== normal build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEVSITE_BUILD_BENCHMARKS=ON -DCMAKE_INSTALL_PREFIX="$PWD/build/prefix" >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build -j "$jobs" --output-on-failure

echo "== example host against the installed package"
cmake --install build >/dev/null
cmake -S examples/host -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/prefix" >/dev/null
cmake --build build/example
ZEVSITE_HOME="$(mktemp -d)" build/example/zevsite-example-host

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEVSITE_SANITIZE=address,undefined \
  -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure
