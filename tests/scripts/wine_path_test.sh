#!/usr/bin/env bash
# The Wine step must not take the 32-bit path on a machine that cannot run
# 32-bit programs, and must say why it took the path it took.
set -euo pipefail
script="$1/scripts/test-wine.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

arches_before="$(dpkg --print-foreign-architectures 2>/dev/null || true)"
out="$(ZKX_WINE_BUILD="$work" ZKX_WINE_SIMULATE_NO_I386=1 "$script" --choose)"
case "$out" in
  "x86_64 (32-bit programs do not run here"*) ;;
  *) fail "simulated machine without i386 took: $out" ;;
esac
[ "$(dpkg --print-foreign-architectures 2>/dev/null || true)" = "$arches_before" ] ||
  fail "the check changed dpkg's foreign architectures"

out="$(ZKX_WINE_BUILD="$work" ZKX_WINE_ARCH=x86_64 "$script" --choose)"
[ "$out" = "x86_64 (ZKX_WINE_ARCH=x86_64)" ] || fail "forced path printed: $out"

# Unsimulated, the answer follows from whether an i386 program really runs.
out="$(ZKX_WINE_BUILD="$work" "$script" --choose)"
case "$out" in
  i686|"x86_64 (32-bit programs do not run here: "*) ;;
  *) fail "natural choice printed: $out" ;;
esac
echo "1 passed, 0 failed"
