#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. the normal build and the whole suite,
#   2. the suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the suite again under ThreadSanitizer,
#   4. the libFuzzer targets for a bounded time each (clang),
#   5. the 32-bit Windows DLL, cross-built from the same source, and its exports,
#   6. the test suite built for Windows and run under Wine (scripts/test-wine.sh),
#   7. what consumers get: the install tree, the example built against it with
#      find_package and with pkg-config, the Debian package, the API reference.
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
echo "=== test suite under Wine"
scripts/test-wine.sh
check_packaging() {  # build-dir
  local dir="$1" stage prefix example_env
  echo "=== packaging for consumers"
  stage="$(mktemp -d)"
  prefix="$stage/opt/zkxmisc"
  cmake --install "$dir" --prefix "$prefix" >/dev/null
  test ! -e "$prefix/include/zkxmisc/ZKPollPriv.h"
  # The example service, once through CMake and once through pkg-config.
  cmake -S examples/service -B "$stage/example-cmake" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$stage/example-cmake"
  PKG_CONFIG_PATH="$prefix/lib/pkgconfig" g++ -std=c++17 -Wall -Wextra -Wno-unused-parameter \
    -o "$stage/example-pc" examples/service/service.cpp \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs zkxmisc) \
    -Wl,-rpath,"$prefix/lib"
  example_env=(env ZKX_REGISTRY="$stage/registry" ZKX_NAMESPACE="zkxpkg$$")
  "${example_env[@]}" "$stage/example-cmake/zkx-example-service" --log "$stage/service.log"
  grep -q "poller 1: event 0x1," "$stage/service.log"
  "${example_env[@]}" "$stage/example-pc"
  rm -rf "/run/zkx/zkxpkg$$"  # root's private namespace of that name

  # The API reference: any Doxygen warning or undocumented export fails.
  cmake --build "$dir" --target docs

  # The Debian package installs, runs its tool, and goes without a trace.
  (cd "$dir" && cpack -G DEB >/dev/null)
  local deb
  deb="$(ls "$dir"/zkxmisc_*.deb)"
  dpkg-deb --info "$deb" | grep -E "Package|Version|Depends"
  if dpkg-query -W -f='${Status}' zkxmisc 2>/dev/null | grep -q "installed"; then
    echo "zkxmisc is installed on this machine already: remove it (dpkg --purge zkxmisc) first"
    exit 1
  fi
  local left=0 f
  dpkg -i "$deb" >/dev/null
  dpkg -L zkxmisc > "$stage/files"
  # The runtime directory, the zkx group and its shared namespace.
  getent group zkx >/dev/null
  [ "$(stat -c %a:%G /run/zkx/shared)" = "2770:zkx" ]
  grep -q /usr/include/zkxmisc/ZKPoll.h "$stage/files"
  grep -q "/usr/lib/.*libZKXMisc.so.0" "$stage/files"
  if [ -e "$dir/tools/zkx" ]; then
    grep -qx /usr/bin/zkx "$stage/files"
    env ZKX_REGISTRY="$stage/registry" /usr/bin/zkx help >/dev/null
  fi
  dpkg --purge zkxmisc >/dev/null
  if dpkg-query -W zkxmisc >/dev/null 2>&1; then echo "dpkg still knows zkxmisc"; left=1; fi
  while read -r f; do
    if [ -f "$f" ] || [ -L "$f" ]; then echo "left behind: $f"; left=1; fi
  done < "$stage/files"
  if [ -d /usr/include/zkxmisc ]; then echo "left behind: /usr/include/zkxmisc"; left=1; fi
  [ "$left" -eq 0 ]
  rm -rf "$stage"
  echo "packaging: install tree, example (CMake and pkg-config), docs and Debian package all good"
}
if [ "$(id -u)" -eq 0 ]; then
  check_packaging build
else
  echo "=== packaging skipped: dpkg -i needs root"
fi

echo "all test steps passed"
