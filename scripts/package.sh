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

echo "== a shared build as Debian packages: versioned library, dependencies, a host built from them"
deb=build/deb
cmake -S . -B "$deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DBUILD_SHARED_LIBS=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_WERROR=ON >/dev/null
cmake --build "$deb" -j "$jobs"
rm -f "$deb"/*.deb
(cd "$deb" && cpack -G DEB >/dev/null)
runtime_deb=$(ls "$deb"/zevsite-sdk_*.deb)
dev_deb=$(ls "$deb"/zevsite-sdk-dev_*.deb)
depends=$(dpkg-deb -f "$runtime_deb" Depends)
echo "zevsite-sdk Depends: $depends"
for needed in libsqlite3 libcurl libpugixml; do
  grep -q "$needed" <<<"$depends" || fail "zevsite-sdk does not depend on $needed"
done
dev_depends=$(dpkg-deb -f "$dev_deb" Depends)
echo "zevsite-sdk-dev Depends: $dev_depends"
grep -q "zevsite-sdk (= " <<<"$dev_depends" || fail "zevsite-sdk-dev does not pin zevsite-sdk"
runtime_files=$(dpkg-deb -c "$runtime_deb")
dev_files=$(dpkg-deb -c "$dev_deb")
grep -q 'usr/bin/zevsite-collector$' <<<"$runtime_files" || fail "no collector"
! grep -qE 'usr/include|\.pc$|libZEVSiteSDK\.so$' <<<"$runtime_files" ||
  fail "development files in the runtime package"
grep -q 'usr/include/ZEVSiteSDK/ZEVSiteSDK.h$' <<<"$dev_files" || fail "no headers"
grep -q 'pkgconfig/zevsite-sdk.pc$' <<<"$dev_files" || fail "no pkg-config file"

# Both packages unpacked into a scratch root stand in for an installed /usr.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$runtime_deb" "$root"
dpkg -x "$dev_deb" "$root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir="$root/usr/lib/$multiarch"
library=$(ls "$libdir"/libZEVSiteSDK.so.*.*.*)
soname=$(readelf -d "$library" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
echo "library $(basename "$library"), SONAME $soname"
[ "$soname" = "libZEVSiteSDK.so.0" ] || fail "SONAME $soname"
! readelf -d "$library" "$root/usr/bin/zevsite-collector" | grep -qE 'RPATH|RUNPATH' ||
  fail "an RPATH in an installed file"

rm -rf "$deb/example"
cmake -S examples/host -B "$deb/example" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$deb/example"
LD_LIBRARY_PATH="$libdir" ZEVSITE_HOME="$(mktemp -d -p "$root")" "$deb/example/zevsite-example-host"

echo "== pkg-config: a host links the packaged shared library with its flags alone"
PKG_CONFIG_SYSROOT_DIR="$root" LD_LIBRARY_PATH="$libdir" \
  pkgconfig_host "$libdir/pkgconfig" "$deb/pkgconfig-shared-host" --cflags --libs
echo "packages ok: $(basename "$runtime_deb") $(basename "$dev_deb")"
