#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh            the normal build
#   ZKX_SANITIZE=address|thread scripts/test.sh   a sanitizer build in build-<kind>
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
san="${ZKX_SANITIZE:-}"
build="build${san:+-$san}"
cmake -S . -B "$build" -G Ninja -DZKX_SANITIZE="$san" >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j "${ZKX_TEST_JOBS:-4}" --timeout 300
