#!/usr/bin/env bash
# The long soak: every crash test at once, each looping over its rounds of
# random SIGKILLs for the given time, so several processes share logs, heaps,
# multi-reader mutexes and the registry under load.  Outside CI.
#   scripts/soak.sh [seconds=300] [sanitizer: ""|address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-300}"
san="${2:-}"
dir="build-soak${san:+-$san}"
cmake -S . -B "$dir" -G Ninja -DZKX_SANITIZE="$san" -DZKX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target crash_tests
bin="$dir/tests/crash_tests"
logs="$(mktemp -d /tmp/zkx-soak-XXXXXX)"
echo "soak: ${seconds}s, logs in $logs"
pids=()
for test in $("$bin" --gtest_list_tests | awk '/^[^ ]/{suite=$1} /^  /{print suite $1}'); do
  ZKX_SOAK_SECONDS="$seconds" "$bin" --gtest_filter="$test" >"$logs/$test.log" 2>&1 &
  pids+=("$!:$test")
done
failed=0
for entry in "${pids[@]}"; do
  pid="${entry%%:*}"; test="${entry#*:}"
  if wait "$pid"; then
    echo "passed  $test"
  else
    echo "FAILED  $test (see $logs/$test.log)"; failed=1
  fi
done
exit "$failed"
