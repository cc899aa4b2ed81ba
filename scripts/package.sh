#!/usr/bin/env bash
# Checks the SDK as a host consumes it. Runs after the normal build (build/, static library,
# installed into build/prefix by scripts/test.sh) and reuses it where it can.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fail() { echo "FAILED: $*" >&2; exit 1; }

echo "== the SDK as a subproject: the host's build type, warnings and install rules stay its own"
sub=build/subproject
rm -rf "$sub"
cmake -S examples/host -B "$sub" -G Ninja -DZEVSITE_SDK_SOURCE_DIR="$PWD" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$sub/CMakeCache.txt" || fail "the SDK set the host's build type"
! grep -q -- '-Werror' "$sub/compile_commands.json" || fail "the SDK turned warnings into errors"
! grep -rq --include=cmake_install.cmake 'file(INSTALL' "$sub/zevsite-sdk" ||
  fail "the embedded SDK added install rules"
echo "ok"
