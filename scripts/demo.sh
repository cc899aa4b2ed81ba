#!/usr/bin/env bash
# Builds the SDK and runs the example host: a manager is created, events are tracked and
# stored in a temporary home directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_INSTALL_PREFIX="$PWD/build/prefix" >/dev/null
cmake --build build -j "$(nproc)" --target ZEVSiteSDK
cmake --install build >/dev/null
cmake -S examples/host -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/prefix" >/dev/null
cmake --build build/example
ZEVSITE_HOME="$(mktemp -d)" build/example/zevsite-example-host "$@"
