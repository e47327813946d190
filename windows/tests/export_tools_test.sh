#!/usr/bin/env bash
# Self-test of the two export tools of the Windows build, on made-up input,
# so that neither a wrong export list nor a check that passes everything
# goes unnoticed.  Needs cmake and awk, not the cross compiler.
set -uo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$here/../.."
generator="$here/../mingw_exports.cmake"
checker="$root/scripts/check-windows-exports.sh"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failed=0
pass() { :; }
bad() { echo "FAIL: $*"; failed=$((failed + 1)); }

cat >"$tmp/table.def" <<'DEF'
; a small table in the real one's shape
LIBRARY Demo
EXPORTS
    Copy                @1101
    _IndexAt@8          @1104   ; exported decorated
    LogOut              @1305   ; caller cleans
DEF

# --- generator ---------------------------------------------------------------
# nm lines as the i386 objects print them.
nm_all='00000000 T _Copy@12
00000010 T _IndexAt@8
00000020 T _LogOut
00000030 T _DllMain@12
00000000 D _g_hidden'

generate() {  # nm-text strict -> status; output under $tmp/out.*
  printf '%s\n' "$1" >"$tmp/nm.txt"
  rm -f "$tmp"/out.*
  cmake -DDEF="$tmp/table.def" -DNM_OUTPUT="$tmp/nm.txt" -DCALLER_CLEANS=LogOut \
        -DENTRY=_DllMain@12 -DSTRICT="$2" -DOUT="$tmp/out" -P "$generator" >"$tmp/gen.log" 2>&1
}
expect_gen_error() {  # what nm-text strict pattern
  if generate "$2" "$3"; then bad "generator accepted $1"
  elif ! grep -q -- "$4" "$tmp/gen.log"; then bad "generator on $1 did not say '$4'"; cat "$tmp/gen.log"; fi
}

if generate "$nm_all" ON; then
  grep -qx '    Copy = Copy@12 @1101' "$tmp/out.ld.def" || bad "standard-convention export not aliased to its symbol"
  grep -qx '    _IndexAt@8 = IndexAt@8 @1104' "$tmp/out.ld.def" || bad "decorated export not kept decorated"
  grep -qx '    LogOut @1305' "$tmp/out.ld.def" || bad "caller-cleans export changed"
  grep -qx '    Copy@12 @1101' "$tmp/out.implib.def" || bad "import list lacks the decorated caller name"
  grep -qx '    IndexAt@8 @1104 == _IndexAt@8' "$tmp/out.implib.def" || bad "import list loses the decorated export name"
  [ "$(grep -c '@' "$tmp/out.present.def")" = 3 ] || bad "present list is not the whole table"
  [ ! -s "$tmp/out.missing.txt" ] || bad "missing list not empty"
  grep -q hidden "$tmp"/out.*.def && bad "a symbol outside the table was exported"
else
  bad "generator refused a complete set"; cat "$tmp/gen.log"
fi

expect_gen_error "an export without the standard convention" \
  "$(printf '%s\n' "$nm_all" | sed 's/_Copy@12/_Copy/')" ON "Copy must use the standard calling convention"
expect_gen_error "a variable-argument export with the standard convention" \
  "$(printf '%s\n' "$nm_all" | sed 's/_LogOut$/_LogOut@20/')" ON "LogOut must use the caller-cleans convention"
expect_gen_error "a decorated export of another argument size" \
  "$(printf '%s\n' "$nm_all" | sed 's/_IndexAt@8/_IndexAt@12/')" ON "IndexAt takes 12 bytes"
expect_gen_error "objects without the loader entry" \
  "$(printf '%s\n' "$nm_all" | grep -v DllMain)" OFF "_DllMain@12"
expect_gen_error "a missing export in the strict build" \
  "$(printf '%s\n' "$nm_all" | grep -v IndexAt)" ON "_IndexAt@8"

if generate "$(printf '%s\n' "$nm_all" | grep -v IndexAt)" OFF; then
  [ "$(cat "$tmp/out.missing.txt")" = "_IndexAt@8" ] || bad "partial build does not list the missing export"
  grep -q IndexAt "$tmp/out.ld.def" "$tmp/out.present.def" && bad "partial build exports an undefined name"
else
  bad "partial build refused a missing export"; cat "$tmp/gen.log"
fi

# --- checker -----------------------------------------------------------------
listing() {  # name-table lines -> an objdump -p listing of a DLL
  cat <<LIST

Demo.dll:     file format ${FORMAT:-pei-i386}

Characteristics 0x2106
	executable
	32 bit words
	DLL

Magic			010b	(PE32)

The Import Tables (interpreted .idata section contents)
	DLL Name: KERNEL32.dll
	DLL Name: ${EXTRA_IMPORT:-msvcrt.dll}

The Export Tables (interpreted .edata section contents)

Export Flags 			0
Name 				0000ae10 Demo.dll
Ordinal Base 			1101

Export Address Table -- Ordinal Base 1101
	[   0] +base[1101] 14b0 Export RVA
	[   3] +base[1104] 14e0 Export RVA
	[ 204] +base[1305] 1510 Export RVA
${EXTRA_EAT:-}
[Ordinal/Name Pointer] Table
$1

LIST
}
good_names=$'\t[   0] Copy\n\t[ 204] LogOut\n\t[   3] _IndexAt@8'

check() {  # listing-text -> status, output in $tmp/check.log
  printf '%s' "$1" >"$tmp/listing.txt"
  "$checker" "$tmp/table.def" --listing "$tmp/listing.txt" >"$tmp/check.log" 2>&1
}
expect_check_error() {  # what listing-text pattern
  if check "$2"; then bad "checker accepted $1"
  elif ! grep -q -- "$3" "$tmp/check.log"; then bad "checker on $1 did not say '$3'"; cat "$tmp/check.log"; fi
}

check "$(listing "$good_names")" || { bad "checker refused a matching DLL"; cat "$tmp/check.log"; }
# Newer objdump prints the ordinal and hint in the name table.
check "$(listing $'\t[   0] +base[1101]  0000  Copy\n\t[ 204] +base[1305]  0002  LogOut\n\t[   3] +base[1104]  0001  _IndexAt@8')" ||
  { bad "checker cannot read the newer name table"; cat "$tmp/check.log"; }

expect_check_error "a wrong ordinal" "$(listing $'\t[   0] Copy\n\t[   3] LogOut\n\t[ 204] _IndexAt@8')" \
  "LogOut has ordinal 1104, the table 1305"
expect_check_error "an undecorated name for the decorated export" \
  "$(listing $'\t[   0] Copy\n\t[ 204] LogOut\n\t[   3] IndexAt')" "missing: _IndexAt@8"
expect_check_error "a name outside the table" "$(listing "$good_names"$'\n\t[   1] Secret')" "not in the table: Secret"
expect_check_error "an export by ordinal alone" \
  "$(EXTRA_EAT=$'\t[   7] +base[1108] 1600 Export RVA' listing "$good_names")" "ordinal 1108 is exported without a name"
expect_check_error "a dependency on the compiler's runtime DLL" \
  "$(EXTRA_IMPORT=libgcc_s_dw2-1.dll listing "$good_names")" "imports libgcc_s_dw2-1.dll"
expect_check_error "a 64-bit image" "$(FORMAT=pei-x86-64 listing "$good_names")" "not a pei-i386 image"

if ((failed)); then echo "export tools: $failed check(s) failed"; exit 1; fi
echo "export tools: self-test passed"
