#!/usr/bin/env bash
# Checks the SDK as a host developer consumes it, on its own (it builds what it needs, under
# build/package): fetched with FetchContent, installed library-only to a prefix of the user's
# choice (CMake package and pkg-config), the language-level message, and the Debian packages
# (split, copyright, shlibs, lintian), with hosts built against each; a C11 host of the C
# interface is built against the static and the shared library, with CMake and with
# pkg-config, and run against a loopback collector.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
fail() { echo "FAILED: $*" >&2; exit 1; }
work=build/package
mkdir -p "$work"
scratch=$(mktemp -d)
collector_pid=""
trap '[ -z "$collector_pid" ] || kill "$collector_pid" 2>/dev/null; rm -rf "$scratch"' EXIT

echo "== FetchContent at a commit: the host's build type, warnings and install rules stay its own"
sub=$work/fetchcontent
rm -rf "$sub"
if commit=$(git rev-parse HEAD 2>/dev/null); then
  cmake -S examples/host -B "$sub" -G Ninja -DZEVSITE_SDK_GIT_REPOSITORY="file://$PWD" \
    -DZEVSITE_SDK_GIT_TAG="$commit" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  sdk_dir="$sub/_deps/zevsite_sdk-build"
else
  echo "(not a git checkout: embedding the source directory instead)"
  cmake -S examples/host -B "$sub" -G Ninja -DZEVSITE_SDK_SOURCE_DIR="$PWD" \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  sdk_dir="$sub/zevsite-sdk"
fi
grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$sub/CMakeCache.txt" || fail "the SDK set the host's build type"
! grep -q -- '-Werror' "$sub/compile_commands.json" || fail "the SDK turned warnings into errors"
! grep -rq --include=cmake_install.cmake 'file(INSTALL' "$sdk_dir" ||
  fail "the embedded SDK added install rules"
echo "ok"

echo "== the library alone, installed with --prefix to another place than configured"
lib=$work/library
cmake -S . -B "$lib" -G Ninja -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_BUILD_TOOLS=OFF \
  -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON >/dev/null
grep -q '^CMAKE_INSTALL_PREFIX:PATH=/usr/local$' "$lib/CMakeCache.txt" ||
  fail "configured with another prefix than /usr/local"
cmake --build "$lib" -j "$jobs"
! grep -qE 'zevsite_collector|zevsite_tests|httplib' "$lib/build.ninja" ||
  fail "the library-only build builds the collector or the tests"
prefix=$scratch/installed
cmake --install "$lib" --prefix "$prefix" >/dev/null
targets=$(ls "$prefix"/lib*/cmake/ZEVSiteSDK/ZEVSiteSDKTargets.cmake)
grep -q 'INTERFACE_COMPILE_FEATURES "cxx_std_20"' "$targets" || fail "no cxx_std_20 on the target"
grep -q 'INTERFACE_INCLUDE_DIRECTORIES "${_IMPORT_PREFIX}/include"$' "$targets" ||
  fail "include directories: $(grep INTERFACE_INCLUDE_DIRECTORIES "$targets")"
rm -rf "$work/example-installed"
cmake -S examples/host -B "$work/example-installed" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example-installed"
ZEVSITE_HOME="$(mktemp -d -p "$scratch")" "$work/example-installed/zevsite-example-host" >/dev/null
echo "ok: find_package from $prefix"

# Prints the flags `pkg-config <args> zevsite-sdk` gives from the pkg-config directory $1, and
# tells what they are on standard error.
pkgconfig_flags() {
  local pcdir=$1
  shift
  local flags
  flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config "$@" zevsite-sdk)
  echo "pkg-config $*: $flags" >&2
  echo "$flags"
}

# Builds tests/package/pkgconfig_host.cpp with the pkg-config flags (<args> after $1 and $2)
# and runs it. The language level is the host's own flag.
pkgconfig_host() {
  local pcdir=$1 out=$2
  shift 2
  c++ -std=c++20 tests/package/pkgconfig_host.cpp -o "$out" $(pkgconfig_flags "$pcdir" "$@")
  ZEVSITE_HOME="$(mktemp -d -p "$scratch")" "$out"
}

# Builds tests/package/c_host.c as C11, strictly, with a C compiler and the pkg-config flags,
# nothing else.
c_host_pkgconfig() {
  local pcdir=$1 out=$2
  shift 2
  cc -std=c11 -Wall -Wextra -Werror -pedantic tests/package/c_host.c -o "$out" \
    $(pkgconfig_flags "$pcdir" "$@")
}
# Builds the C host with CMake from a project that enables C only (tests/package), against the
# package installed in the prefix $1; the program is $2/zevsite-c-host.
c_host_cmake() {
  rm -rf "$2"
  cmake -S tests/package -B "$2" -G Ninja -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$2"
}

echo "== pkg-config: the static library from the install, then from the install moved elsewhere"
pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/zevsite-sdk.pc)")
pkgconfig_host "$pcdir" "$work/pkgconfig-static-host" --cflags --libs --static
echo "== C hosts of the static library (run against a collector below)"
c_host_pkgconfig "$pcdir" "$work/c-host-pkgconfig-static" --cflags --libs --static
c_host_cmake "$prefix" "$work/c-host-cmake-static"
moved=$scratch/moved
mv "$prefix" "$moved"
pkgconfig_host "${pcdir/$prefix/$moved}" "$work/pkgconfig-moved-host" --cflags --libs --static
grep -q 'pcfiledir' "${pcdir/$prefix/$moved}/zevsite-sdk.pc" || fail "the pkg-config file is not relocatable"

echo "== an older language level: one readable line first"
if c++ -std=c++17 -fsyntax-only -I"$moved/include" tests/package/pkgconfig_host.cpp \
  2>"$scratch/cxx17.txt"; then
  fail "the headers compiled as C++17"
fi
first_error=$(grep -m1 'error' "$scratch/cxx17.txt")
echo "$first_error"
grep -q "need C++20" <<<"$first_error" || fail "the first error is not the language-level message"

echo "== a shared build as Debian packages: split, copyright, shlibs, lintian, hosts built from them"
deb=$work/deb
cmake -S . -B "$deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DBUILD_SHARED_LIBS=ON -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_INSTALL_DOCDIR=share/doc/zevsite-sdk-dev -DZEVSITE_BUILD_DOCS=ON \
  -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON >/dev/null
cmake --build "$deb" -j "$jobs"
rm -f "$deb"/*.deb
(cd "$deb" && cpack -G DEB >/dev/null)
library_deb=$(ls "$deb"/libzevsitesdk0_*.deb)
dev_deb=$(ls "$deb"/zevsite-sdk-dev_*.deb)
collector_deb=$(ls "$deb"/zevsite-collector_*.deb)
[ "$(ls "$deb"/*.deb | wc -l)" = 3 ] || fail "packages: $(ls "$deb"/*.deb)"

library_depends=$(dpkg-deb -f "$library_deb" Depends)
echo "libzevsitesdk0 Depends: $library_depends"
for needed in libsqlite3 libcurl libpugixml; do
  grep -q "$needed" <<<"$library_depends" || fail "libzevsitesdk0 does not depend on $needed"
done
! grep -q httplib <<<"$library_depends" || fail "libzevsitesdk0 depends on cpp-httplib"
dev_depends=$(dpkg-deb -f "$dev_deb" Depends)
echo "zevsite-sdk-dev Depends: $dev_depends"
grep -q "libzevsitesdk0 (= " <<<"$dev_depends" || fail "zevsite-sdk-dev does not pin libzevsitesdk0"
collector_depends=$(dpkg-deb -f "$collector_deb" Depends)
echo "zevsite-collector Depends: $collector_depends"
grep -q "libzevsitesdk0" <<<"$collector_depends" || fail "zevsite-collector does not need the library"

library_files=$(dpkg-deb -c "$library_deb")
dev_files=$(dpkg-deb -c "$dev_deb")
collector_files=$(dpkg-deb -c "$collector_deb")
grep -qE 'libZEVSiteSDK\.so\.0\.[0-9.]+$' <<<"$library_files" || fail "no library in libzevsitesdk0"
! grep -qE 'usr/bin/|usr/include|\.pc$|libZEVSiteSDK\.so$' <<<"$library_files" ||
  fail "programs or development files in libzevsitesdk0"
grep -q 'usr/include/ZEVSiteSDK/ZEVSiteSDK.h$' <<<"$dev_files" || fail "no headers"
grep -q 'pkgconfig/zevsite-sdk.pc$' <<<"$dev_files" || fail "no pkg-config file"
grep -q 'usr/share/doc/zevsite-sdk-dev/html/index.html$' <<<"$dev_files" || fail "no API reference"
grep -q 'usr/bin/zevsite-collector$' <<<"$collector_files" || fail "no collector"
grep -q 'usr/bin/zevsite-demo$' <<<"$collector_files" || fail "no demo"
! grep -qE 'usr/lib/' <<<"$collector_files" || fail "library files in zevsite-collector"
grep -q 'lib/systemd/system/zevsite-collector.service$' <<<"$collector_files" ||
  fail "no systemd service in zevsite-collector"
dpkg-deb --ctrl-tarfile "$collector_deb" | tar -xO ./conffiles |
  grep -qx /etc/default/zevsite-collector || fail "the service's options are not a conffile"
for package in "$library_deb" "$dev_deb" "$collector_deb"; do
  name=$(dpkg-deb -f "$package" Package)
  dpkg-deb --fsys-tarfile "$package" | tar -xO "./usr/share/doc/$name/copyright" >"$scratch/copyright" ||
    fail "no copyright file in $name"
  grep -q '^License: Expat$' "$scratch/copyright" || fail "$name: the copyright file names no licence"
  grep -q 'Permission is hereby granted' "$scratch/copyright" || fail "$name: no licence text"
done
dpkg-deb --ctrl-tarfile "$library_deb" | tar -xO ./shlibs >"$scratch/shlibs" ||
  fail "no shlibs control file in libzevsitesdk0"
echo "shlibs: $(cat "$scratch/shlibs")"
grep -qE '^libZEVSiteSDK 0 libzevsitesdk0 \(>= ' "$scratch/shlibs" || fail "shlibs: $(cat "$scratch/shlibs")"

echo "== lintian (errors fail)"
lintian --tag-display-limit 0 "$library_deb" "$dev_deb" "$collector_deb" | tee "$scratch/lintian.txt" || true
! grep -q '^E:' "$scratch/lintian.txt" || fail "lintian reports errors"

# The three packages unpacked into a scratch root stand in for an installed /usr.
root=$scratch/root
mkdir -p "$root"
for package in "$library_deb" "$dev_deb" "$collector_deb"; do dpkg -x "$package" "$root"; done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir="$root/usr/lib/$multiarch"
library=$(ls "$libdir"/libZEVSiteSDK.so.*.*.*)
soname=$(readelf -d "$library" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
echo "library $(basename "$library"), SONAME $soname"
[ "$soname" = "libZEVSiteSDK.so.0" ] || fail "SONAME $soname"
! readelf -d "$library" "$root/usr/bin/zevsite-collector" "$root/usr/bin/zevsite-demo" |
  grep -qE 'RPATH|RUNPATH' || fail "an RPATH in an installed file"

rm -rf "$work/example-packaged"
cmake -S examples/host -B "$work/example-packaged" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/example-packaged"
LD_LIBRARY_PATH="$libdir" ZEVSITE_HOME="$(mktemp -d -p "$scratch")" \
  "$work/example-packaged/zevsite-example-host" >/dev/null

echo "== pkg-config: a host links the packaged shared library with its flags alone"
LD_LIBRARY_PATH="$libdir" pkgconfig_host "$libdir/pkgconfig" "$work/pkgconfig-shared-host" \
  --cflags --libs

echo "== C hosts of the packaged shared library, then every C host against the packaged collector"
c_host_pkgconfig "$libdir/pkgconfig" "$work/c-host-pkgconfig-shared" --cflags --libs
c_host_cmake "$root/usr" "$work/c-host-cmake-shared"
collected=$scratch/collected
mkdir -p "$collected"
"$root/usr/bin/zevsite-collector" --port 0 --db "sqlite:$collected/events.sqlite" \
  --jsonl "$collected/events.jsonl" >"$collected/output" 2>&1 &
collector_pid=$!
url=""
for _ in $(seq 500); do
  url=$(sed -n 's/^collecting at \([^ ]*\) .*/\1/p' "$collected/output")
  [ -n "$url" ] && break
  sleep 0.02
done
[ -n "$url" ] || fail "the collector did not start: $(cat "$collected/output")"
c_hosts=("$work/c-host-pkgconfig-static" "$work/c-host-cmake-static/zevsite-c-host"
         "$work/c-host-pkgconfig-shared" "$work/c-host-cmake-shared/zevsite-c-host")
for c_host in "${c_hosts[@]}"; do
  LD_LIBRARY_PATH="$libdir" "$c_host" "$url" "$(mktemp -d -p "$scratch")" ||
    fail "$c_host did not send its events"
done
kill "$collector_pid"
wait "$collector_pid" || true
collector_pid=""
# Each host sent a start-up event with its campaign, a page view, a classic event, a custom
# action and a pulse, each from a client of its own.
for kind in '"t":"init"' '"dt":"C Home"' '"ec":"c-shop"' '"caid":"c-action"' '"t":"pulse"'; do
  arrived=$(grep -c "$kind" "$collected/events.jsonl" || true)
  [ "$arrived" = "${#c_hosts[@]}" ] || fail "$kind arrived $arrived times, not ${#c_hosts[@]}"
done
[ "$(grep '"t":"init"' "$collected/events.jsonl" | grep -c '"qxc":"c-spring"')" = "${#c_hosts[@]}" ] ||
  fail "a deep-link campaign did not arrive"
echo "ok: ${#c_hosts[@]} C hosts (static and shared; CMake and pkg-config) sent their events"
echo "packages ok: $(basename "$library_deb") $(basename "$dev_deb") $(basename "$collector_deb")"
