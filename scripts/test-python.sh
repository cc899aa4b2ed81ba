#!/usr/bin/env bash
# Tests the Python package (bindings/python) as a Python host uses it: builds the shared
# library and the collector in build/python, installs the package with pip into a virtual
# environment (no network: the system's setuptools build it), and runs its pytest suite
# against a zevsite-collector on a free loopback port.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
build=build/python
# Debian's interpreter, where python3-pytest is installed (another python3 may come first on
# PATH).
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)

echo "== the shared library and the collector"
# ZEVSITE_PYTHON_LIBRARY_BUILD names a shared build with the tools made already (scripts/test.sh
# hands in the one scripts/package.sh made), so CI builds the library once for both.
library_build=${ZEVSITE_PYTHON_LIBRARY_BUILD:-}
if [ -z "$library_build" ]; then
  library_build=$build
  cmake -S . -B "$library_build" -G Ninja -DBUILD_SHARED_LIBS=ON -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_BUILD_TOOLS=ON >/dev/null
fi
cmake --build "$library_build" -j "$jobs" --target ZEVSiteSDK zevsite-collector
export ZEVSITE_LIBRARY="$PWD/$library_build/ZEVSiteSDK/libZEVSiteSDK.so.0"
export ZEVSITE_COLLECTOR="$PWD/$library_build/tools/zevsite-collector"
mkdir -p "$build"

echo "== pip install ./bindings/python into a virtual environment"
venv="$build/venv"
rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
# From a copy: setuptools writes its build files next to the sources.
rm -rf "$build/package-source"
cp -r bindings/python "$build/package-source"
"$venv/bin/python" -m pip install --quiet --no-index --no-build-isolation "$build/package-source"
# Imported from the installed package, not the source tree.
(cd "$build" && "$PWD/venv/bin/python" -c \
  'import zevsite, sys; print("zevsite", zevsite.sdk_version(), "from", zevsite.__file__)')

echo "== pytest"
(cd "$build" && "$PWD/venv/bin/python" -B -m pytest -q -p no:cacheprovider \
  "$OLDPWD/bindings/python/tests")
