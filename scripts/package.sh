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

echo "== the installed CMake package: C++20 carried by the target, the include directory once"
targets=build/prefix/lib/cmake/ZEVSiteSDK/ZEVSiteSDKTargets.cmake
grep -q 'INTERFACE_COMPILE_FEATURES "cxx_std_20"' "$targets" || fail "no cxx_std_20 on the target"
grep -q 'INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include"$' "$targets" ||
  fail "include directories: $(grep INTERFACE_INCLUDE_DIRECTORIES "$targets")"
echo "ok"
