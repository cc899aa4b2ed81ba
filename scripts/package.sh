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

# Builds tests/package/pkgconfig_host.cpp with the flags `pkg-config <args> zevsite-sdk` gives
# from the pkg-config directory $1 and runs it. The language level is the host's own flag.
pkgconfig_host() {
  local pcdir=$1 out=$2
  shift 2
  local flags
  flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config "$@" zevsite-sdk)
  echo "pkg-config $*: $flags"
  c++ -std=c++20 tests/package/pkgconfig_host.cpp -o "$out" $flags
  ZEVSITE_HOME="$(mktemp -d)" "$out"
}

echo "== pkg-config: a host links the installed static library with its flags alone"
pkgconfig_host build/prefix/lib/pkgconfig build/pkgconfig-static-host --cflags --libs --static
