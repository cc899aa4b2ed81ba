#!/usr/bin/env bash
# Builds and runs the tests, by stage:
#   quick  the normal build and its tests (ClickHouse cases run when
#          ZEVSITE_TEST_CLICKHOUSE_URL is set, else they skip)
#   asan   AddressSanitizer + UndefinedBehaviorSanitizer build and tests
#   tsan   ThreadSanitizer build, the tests labelled "concurrency"
#   tsa    clang's thread-safety analysis of the library
#   fuzz   libFuzzer targets: the committed inputs, then ZEVSITE_FUZZ_SECONDS (10) s each
#   python the Python package's tests against the shared library (scripts/test-python.sh)
#   arm64  a cross build for aarch64, its quick tests under qemu-user (scripts/test-arm64.sh quick)
#   all    (the default; what CI runs) every stage, with a private ClickHouse server on
#          loopback, the example host against the installed package, the API reference and
#          the package checks (scripts/package.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
stage=${1:-all}
case "$stage" in
  quick | asan | tsan | tsa | fuzz | python | arm64 | all) ;;
  *) echo "usage: scripts/test.sh [quick|asan|tsan|tsa|fuzz|python|arm64|all]" >&2; exit 2 ;;
esac
scripts/deps.sh
jobs=$(nproc)
# Line tables only (-g1): sanitizer reports and backtraces keep file and line, and each build
# compiles about a third faster than with full debug information.
release_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
debug_flags=(-DCMAKE_CXX_FLAGS_DEBUG="-g1" -DCMAKE_C_FLAGS_DEBUG="-g1")

start_clickhouse() {
  echo "== ClickHouse for the collector's store tests"
  clickhouse_dir="$PWD/build/clickhouse"
  trap 'scripts/clickhouse.sh stop "$clickhouse_dir"' EXIT
  ZEVSITE_TEST_CLICKHOUSE_URL=$(scripts/clickhouse.sh start "$clickhouse_dir")
  export ZEVSITE_TEST_CLICKHOUSE_URL
  echo "ClickHouse at $ZEVSITE_TEST_CLICKHOUSE_URL"
}

stage_quick() {
  echo "== normal build"
  cmake -S . -B build -G Ninja -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${release_flags[@]}" \
    -DZEVSITE_BUILD_TESTS=ON -DZEVSITE_BUILD_TOOLS=ON -DZEVSITE_BUILD_BENCHMARKS=ON \
    -DCMAKE_INSTALL_PREFIX="$PWD/build/prefix" >/dev/null
  cmake --build build -j "$jobs"
  ctest --test-dir build -j "$jobs" --output-on-failure
}

example_host() {
  echo "== example host against the installed package"
  cmake --install build >/dev/null
  cmake -S examples/host -B build/example -G Ninja -DCMAKE_PREFIX_PATH="$PWD/build/prefix" >/dev/null
  cmake --build build/example
  ZEVSITE_HOME="$(mktemp -d)" build/example/zevsite-example-host
}

api_reference() {
  echo "== API reference (Doxygen, warnings are errors)"
  cmake -S . -B build/docs-build -G Ninja -DZEVSITE_BUILD_DOCS=ON -DZEVSITE_BUILD_TESTS=OFF \
    -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
  cmake --build build/docs-build --target docs
  test -f build/docs-build/docs/html/index.html || { echo "no build/docs-build/docs/html/index.html"; exit 1; }
}

stage_asan() {
  echo "== address and undefined-behaviour sanitizers"
  cmake -S . -B build-asan -G Ninja -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=Debug "${debug_flags[@]}" \
    -DZEVSITE_SANITIZE=address,undefined \
    -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure -E 'ZEVSiteForkTest'
  # The burst-and-fork test is left out here: this toolchain's AddressSanitizer runtime does not
  # lock its allocator around fork(), so a child can start with it held by a parent thread and
  # hang in its first malloc (glibc's malloc handles fork). The normal build runs it.
}

stage_tsan() {
  echo "== thread sanitizer: the concurrency tests"
  # -O1, as the sanitizer's documentation suggests: it compiles much faster than -O2 and its
  # reports keep every frame.
  cmake -S . -B build-tsan -G Ninja -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DZEVSITE_SANITIZE=thread \
    -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
  # Only what the concurrency tests run.
  cmake --build build-tsan -j "$jobs" --target zevsite_tests zevsite_collector_tests
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp" \
    ctest --test-dir build-tsan -j "$jobs" --output-on-failure -L concurrency
}

stage_tsa() {
  echo "== clang thread-safety analysis"
  # Only the library is built, so the lock annotations are checked in the SDK's own code.
  CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=Debug \
    -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_BUILD_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="-Wthread-safety -Wthread-safety-beta" >/dev/null
  cmake --build build-tsa -j "$jobs" --target ZEVSiteSDK
}

stage_fuzz() {
  echo "== fuzzers (clang, libFuzzer): committed inputs replayed, then ${ZEVSITE_FUZZ_SECONDS:=10} s each"
  CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZEVSITE_WERROR=ON -DZEVSITE_UNITY_BUILD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${release_flags[@]}" \
    -DZEVSITE_BUILD_FUZZERS=ON -DZEVSITE_BUILD_TESTS=OFF -DZEVSITE_BUILD_TOOLS=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs"
  for fuzzer in build-fuzz/fuzz/fuzz_*; do
    name=$(basename "$fuzzer")
    corpus=$(mktemp -d)
    cp fuzz/corpus/"$name"/* "$corpus"/
    "$fuzzer" fuzz/corpus/"$name"/* >/dev/null 2>&1 || { echo "$name: a committed input fails"; exit 1; }
    "$fuzzer" -max_total_time="$ZEVSITE_FUZZ_SECONDS" -max_len=4096 "$corpus" 2>&1 | tail -1
    rm -rf "$corpus"
  done
}

stage_python() {
  scripts/test-python.sh
}

stage_arm64() {
  scripts/test-arm64.sh quick
}

# Runs a step and notes how long it took, for the summary at the end.
timings=()
timed() {
  local started=$SECONDS
  "$@"
  timings+=("$(printf '%5d s  %s' $((SECONDS - started)) "$*")")
}

if [ "$stage" = all ]; then
  timed start_clickhouse
  timed stage_quick
  timed example_host
  timed api_reference
  timed scripts/package.sh
  ZEVSITE_PYTHON_LIBRARY_BUILD=build/package/deb timed stage_python
  timed stage_asan
  timed stage_tsan
  timed stage_tsa
  timed stage_fuzz
  timed stage_arm64
  printf '%s\n' "${timings[@]}"
  echo "all test stages passed in $SECONDS s"
else
  "stage_$stage"
  echo "stage $stage passed"
fi
