#!/usr/bin/env bash
# Cross-builds the library and its tests for 64-bit ARM Linux (aarch64) with Debian's cross
# toolchain and arm64 development packages, and runs the tests under qemu-user.
#   quick  (what CI runs) the values, serialiser, tracking, storage and delivery tests,
#          delivery against a loopback collector built for ARM too
#   full   (the default) every test that can run under qemu-user; left out: the death tests
#          and the fork test (qemu-user cannot re-execute a program or fork a process with
#          threads), and the dashboard test (its headless browser is the build machine's)
# Installs what it needs (as root, or through sudo): adds the arm64 architecture to dpkg.
set -euo pipefail
cd "$(dirname "$0")/.."
scope=${1:-full}
case "$scope" in
  quick | full) ;;
  *) echo "usage: scripts/test-arm64.sh [quick|full]" >&2; exit 2 ;;
esac

sudo=""
if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
native=(g++-aarch64-linux-gnu qemu-user cmake ninja-build pkg-config nlohmann-json3-dev)
target=(libsqlite3-dev libcurl4-openssl-dev libpugixml-dev zlib1g-dev libgtest-dev
        libcpp-httplib-dev libssl-dev libbrotli-dev)
missing=()
for package in "${native[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
for package in "${target[@]}"; do
  dpkg-query -W -f='${Status}' "$package:arm64" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package:arm64")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo dpkg --add-architecture arm64
  fi
  $sudo apt-get update -qq
  # The arm64 packages must match the native ones' versions (multiarch): native libraries
  # that lag behind are brought to the same version.
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

# -O1 without debug information: the emulated tests run fast enough, and the cross build
# compiles in about half the time of the normal one.
cmake -S . -B build-arm64 -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
  -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -DNDEBUG" \
  -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
if [ "$scope" = quick ]; then
  cmake --build build-arm64 -j "$(nproc)" --target zevsite_tests
  selection=(-R 'ZEVSite(Value|Dictionary|HostValues|Parameter|Tracking|StagingArea|Storage|StoreClock|Delivery)')
else
  cmake --build build-arm64 -j "$(nproc)"
  selection=(-E 'DeathTest|ZEVSiteForkTest|ZEVSiteDashboard')
fi
file build-arm64/tests/zevsite_tests | grep -q 'ARM aarch64' ||
  { echo "build-arm64/tests/zevsite_tests is not an aarch64 program"; exit 1; }
ctest --test-dir build-arm64 -j "$(nproc)" --output-on-failure --timeout 300 "${selection[@]}"
echo "arm64 $scope: passed under $(qemu-aarch64 --version | head -1)"
