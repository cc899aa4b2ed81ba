#!/usr/bin/env bash
# Installs the Debian packages the build, tests, demo, benchmarks and API reference need (as
# root, or through sudo). Packages already present are not fetched again.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
          libsqlite3-dev libcurl4-openssl-dev libpugixml-dev
          libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev libssl-dev
          zlib1g-dev libbrotli-dev clickhouse-server clickhouse-client python3 curl
          chromium libjs-chart.js doxygen nlohmann-json3-dev)
# The Python package's tests: pytest, and pip and venv to install the package.
packages+=(python3-pytest python3-pip python3-venv python3-setuptools)
# The Debian-package check: dpkg-shlibdeps, file, readelf and lintian.
packages+=(dpkg-dev file binutils lintian git)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  if [ "$(id -u)" != 0 ]; then sudo="sudo"; fi
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
