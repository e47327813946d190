#!/usr/bin/env bash
# Times "zkx reg import" of one key holding N small values, and one small
# RegSetValueExA-style write ("zkx reg add") into that key afterwards, in a
# private store under /tmp.
#
#   bench/reg_import_bench.sh [ZKX] [N...]     (defaults: build/tools/zkx, 1000 10000)
set -euo pipefail
zkx="${1:-build/tools/zkx}"
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000)
zkx="$(realpath "$zkx")"

work="$(mktemp -d /tmp/zkx-import-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT

for n in "${counts[@]}"; do
  file="$work/key-$n.reg"
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Key%d]\n' "$n"
    for ((i = 0; i < n; i++)); do printf '"Value%05d"="data %d"\n' "$i" "$i"; done
  } >"$file"
  export ZKX_REGISTRY="$work/store-$n"
  mkdir -p "$ZKX_REGISTRY"
  start=$(date +%s.%N)
  "$zkx" reg import "$file" >/dev/null
  mid=$(date +%s.%N)
  "$zkx" reg add "HKLM\\SOFTWARE\\Bench\\Key$n" /v Extra /d small /f >/dev/null
  end=$(date +%s.%N)
  got=$("$zkx" reg query "HKLM\\SOFTWARE\\Bench\\Key$n" | grep -c '    REG_SZ    ' || true)
  printf '%6d values: import %.3f s, then one add %.3f s (%d values read back)\n' \
    "$n" "$(echo "$mid - $start" | bc)" "$(echo "$end - $mid" | bc)" "$got"
done
