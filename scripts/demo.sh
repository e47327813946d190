#!/usr/bin/env bash
# Builds what is needed and runs the demo of the library's services.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target zkx >/dev/null
exec build/tools/zkx demo "$@"
