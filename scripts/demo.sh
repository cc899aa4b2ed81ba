#!/usr/bin/env bash
# Builds the SDK and runs the demo: a simulated host session against a collector embedded
# in the demo on a loopback port. Extra arguments go to zevsite-demo (try --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$PWD/build/prefix" >/dev/null
cmake --build build -j "$(nproc)" --target zevsite-demo
build/tools/zevsite-demo "$@"
