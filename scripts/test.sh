#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the normal build and the whole suite,
#   2. the suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the suite again under ThreadSanitizer,
#   4. the libFuzzer targets for a bounded time each (clang),
#   5. the 32-bit Windows DLL, cross-built from the same source, and its exports.
# scripts/test.sh --quick runs step 1 alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs="${ZKX_TEST_JOBS:-4}"
fuzz_seconds="${ZKX_FUZZ_SECONDS:-20}"

run_suite() {  # build-dir sanitizer [extra cmake args...]
  local dir="$1" san="$2"
  shift 2
  echo "=== build $dir${san:+ (sanitizer: $san)}"
  cmake -S . -B "$dir" -G Ninja -DZKX_SANITIZE="$san" "$@" >/dev/null
  cmake --build "$dir"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

run_suite build ""
[ "${1:-}" = "--quick" ] && exit 0

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
run_suite build-asan address -DZKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
run_suite build-tsan thread -DZKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "=== fuzz targets, ${fuzz_seconds}s each"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DZKX_BUILD_FUZZ=ON \
  -DZKX_BUILD_TESTS=OFF -DZKX_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz
for target in build-fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  name="$(basename "$target")"
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="fuzz/corpus/${name%_fuzz}"
  dict="fuzz/${name%_fuzz}.dict"
  args=(-max_total_time="$fuzz_seconds" "$corpus")
  [ -d "$seeds" ] && args+=("$seeds")
  [ -f "$dict" ] && args=(-dict="$dict" "${args[@]}")
  echo "--- $name"
  "$target" "${args[@]}" > "build-fuzz/$name.log" 2>&1 || { tail -n 40 "build-fuzz/$name.log"; exit 1; }
  tail -n 1 "build-fuzz/$name.log"
done

echo "=== Windows DLL"
scripts/build-windows.sh
echo "all test steps passed"
